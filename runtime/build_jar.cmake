# Packs the compiled classes into the runtime jar so that the same sources give the same bytes: the
# entries in sorted order (the jar tool would take them in the file system's order) and one fixed
# time stamp for all of them.
file(GLOB_RECURSE classes RELATIVE ${CLASSES} ${CLASSES}/*)
list(SORT classes)
set(arguments)
foreach(class IN LISTS classes)
    list(APPEND arguments -C ${CLASSES} ${class})
endforeach()
file(REMOVE ${OUTPUT})
execute_process(COMMAND ${JAR} --create --file ${OUTPUT} --date ${DATE} ${arguments} COMMAND_ERROR_IS_FATAL ANY)
