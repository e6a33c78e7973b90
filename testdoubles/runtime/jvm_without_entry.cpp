// A jvm.dll that loads but lacks JNI_CreateJavaVM, like a damaged or foreign library of that name.
extern "C" __declspec(dllexport) int JNI_GetDefaultJavaVMInitArgs(void*) {
    return -1;
}
