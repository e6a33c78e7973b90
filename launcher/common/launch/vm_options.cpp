#include "launch/vm_options.h"

#include "launch/class_data_sharing.h"
#include "launch/variable_expansion.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/errors.h"
#include "support/file_system.h"
#include "support/log.h"
#include "support/system.h"
#include "support/text_conversion.h"

#include <cstring>
#include <string>

namespace {

namespace config = kestro::payload::config;

const char kListSeparator[] = {kPathListSeparator, '\0'};

// A copy of exactly its own length: the VM keeps every option for the life of the process.
char* newText(const char* text) {
    char* copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    return copy;
}

} // namespace

void readVmOptionsFile(FILE* file, std::vector<char*>& lines) {
    // One reading buffer; each kept option gets a copy of its own length, which the VM keeps.
    std::vector<char> line(kTextCapacity);
    while (std::fgets(line.data(), int(kTextCapacity), file)) {
        if (!trimOptionsLine(line.data()))
            continue;
        expandVariables(line.data(), kTextCapacity);
        lines.push_back(newText(line.data()));
    }
}

ClassPathText::ClassPathText() : text_(new char[kClassPathCapacity]) {
    text_[0] = '\0';
}

bool ClassPathText::append(const char* text) {
    const size_t length = std::strlen(text);
    if (length_ + length >= kClassPathCapacity) {
        logError("class path full, left out: %s", text);
        return false;
    }
    std::memcpy(text_ + length_, text, length + 1);
    length_ += length;
    return true;
}

bool ClassPathText::endsWith(char c) const {
    return length_ > 0 && text_[length_ - 1] == c;
}

void ClassPathText::dropLast(char c) {
    if (endsWith(c))
        text_[--length_] = '\0';
}

bool appendArchivesInDirectory(ClassPathText& classPath, const char* directory, const char* extension) {
    if (!pathExists(directory))
        return false;
    char** names = nullptr;
    const int count = listFiles(directory, extension, &names);
    for (int i = 0; i < count; ++i) {
        const std::string relative = std::string(directory) + kPathSeparator + names[i];
        char absolute[kPathCapacity];
        if (makeAbsolute(absolute, relative.c_str()) && classPath.append(absolute))
            classPath.append(kListSeparator);
    }
    freeFileList(names, count);
    return true;
}

void appendConfiguredClassPath(ClassPathText& classPath) {
    char entries[kTextCapacity];
    getConfigText(config::ClassPath, entries, sizeof entries);
    for (char* entry = std::strtok(entries, ";"); entry; entry = std::strtok(nullptr, ";")) {
        if (std::strlen(entry) < 2)
            continue;
        char value[kTextCapacity];
        std::snprintf(value, sizeof value, "%s", entry + 2);
        expandVariables(value, sizeof value);
        const bool required = entry[1] == '1';
        bool found = false;
        char absolute[kPathCapacity];
        switch (entry[0]) {
        case 'A':
        case 'D':
            makeAbsolute(absolute, value);
            found = pathExists(absolute);
            if (classPath.append(absolute))
                classPath.append(kListSeparator);
            break;
        case 'S':
            makeAbsolute(absolute, value);
            found = appendArchivesInDirectory(classPath, absolute, "jar");
            found = appendArchivesInDirectory(classPath, absolute, "zip") || found;
            break;
        case 'E': {
            char variable[kTextCapacity];
            const VariableLookup lookup = readEnvironmentVariable(value, variable, sizeof variable);
            if (lookup == VariableLookup::Found) {
                char* text = variable;
                size_t textLength = std::strlen(variable);
                if (textLength >= 2 && text[0] == '"' && text[textLength - 1] == '"') {
                    text[--textLength] = '\0';
                    ++text;
                }
                // The value's own end decides: a value emptied by its quotes still gets its separator.
                if (classPath.append(text) && (textLength == 0 || text[textLength - 1] != kPathListSeparator))
                    classPath.append(kListSeparator);
                found = true;
            } else if (lookup == VariableLookup::TooLong) {
                logError("environment variable %s too long for the class path", value);
            } else if (required && lookup == VariableLookup::Missing) {
                fatalMessage(config::MessageVariableUndefined, value);
            }
            break;
        }
        default:
            break;
        }
        if (required && !found)
            fatalMessage(config::MessageFileNotFound, value);
    }
}

VmOptionList buildVmArguments(const char* const* launcherProperties, const WideArguments& arguments) {
    char configured[kTextCapacity];
    getConfigText(config::VmParameters, configured, sizeof configured);
    expandVariables(configured, sizeof configured);
    NarrowArguments configuredOptions;
    splitArgumentsNarrow(configured, configuredOptions);

    NarrowArguments fromCommandLine;
    if (getConfigNumber(config::DashJArgumentsAreVmOptions) != 0) {
        for (const std::wstring& argument : arguments)
            if (argument.compare(0, 2, L"-J") == 0)
                fromCommandLine.push_back(narrowFromWide(argument.substr(2)));
    }

    std::vector<char*> lines;
    if (FILE* file = openVmOptionsFile()) {
        readVmOptionsFile(file, lines);
        std::fclose(file);
    }

    ClassPathOverrides overrides;
    VmOptionList options =
        composeVmOptions(launcherProperties, configuredOptions, fromCommandLine, lines, overrides);
    ClassPathText classPath;
    classPath.append("-Djava.class.path=");
    if (overrides.prefix && classPath.append(overrides.prefix))
        classPath.append(kListSeparator);
    appendArchivesInDirectory(classPath, extractionDirectory(), "jar");
    appendArchivesInDirectory(classPath, extractionDirectory(), "zip");
    if (overrides.replacement)
        classPath.append(overrides.replacement);
    else
        appendConfiguredClassPath(classPath);
    if (overrides.suffix) {
        if (!classPath.endsWith(kPathListSeparator))
            classPath.append(kListSeparator);
        classPath.append(overrides.suffix);
    }
    if (!classPathMayEndEmpty())
        classPath.dropLast(kPathListSeparator);
    size_t propertyCount = 0;
    for (const char* const* property = launcherProperties; property && *property; ++property)
        ++propertyCount;
    insertClassDataSharingOptions(options, propertyCount, classPath.text());
    options.push_back(classPath.text());

    logLine("vmoption count %d", int(options.size()));
    for (size_t i = 0; i < options.size(); ++i)
        logLine("vmoption %d: %s", int(i), options[i]);
    return options;
}
