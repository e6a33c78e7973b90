#include "launch/vm_options.h"

#include "launch/class_data_sharing.h"
#include "launch/variable_expansion.h"
#include "payload/payload_format.h"
#include "payload/payload_store.h"
#include "startup/startup_state.h"
#include "support/errors.h"
#include "support/log.h"
#include "support/paths.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

namespace config = kestro::payload::config;

// A copy of exactly its own length: the VM keeps every option for the life of the process.
char* newText(const char* text) {
    char* copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    return copy;
}

std::string toAnsi(const std::wstring& text) {
    const int bytes =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(bytes), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), int(text.size()), &narrow[0], bytes, nullptr, nullptr);
    return narrow;
}

// fopen of a 16-bit name: its exact 8-bit form, else its short form, which only an existing file has.
FILE* openOptionsFile(const std::wstring& name) {
    char narrow[kPathCapacity];
    return openableNarrowPath(name.c_str(), narrow, sizeof narrow) ? std::fopen(narrow, "rt") : nullptr;
}

} // namespace

FILE* openVmOptionsFile() {
    // Named from the 16-bit module name: under a folder whose name the ANSI code page lacks, the
    // 8-bit long form names no file, and the short form would give a short file name.
    wchar_t module[kPathCapacity];
    const DWORD moduleLength = GetModuleFileNameW(nullptr, module, kPathCapacity);
    if (moduleLength == 0 || moduleLength >= kPathCapacity)
        return nullptr;
    wchar_t longModule[kPathCapacity];
    const DWORD length = GetLongPathNameW(module, longModule, kPathCapacity);
    // Without a long form the path as the process knows it is the best name there is.
    const std::wstring longPath = length != 0 && length < kPathCapacity ? longModule : module;
    const std::wstring cut = longPath.substr(0, longPath.size() >= 4 ? longPath.size() - 4 : 0);
    if (FILE* file = openOptionsFile(cut + L".vmoptions"))
        return file;
    return openOptionsFile(longPath + L".vmoptions");
}

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

bool appendArchivesInDirectory(ClassPathText& classPath, const char* directory, const char* extension) {
    if (!pathExists(directory))
        return false;
    char** names = nullptr;
    const int count = listFiles(directory, extension, &names);
    for (int i = 0; i < count; ++i) {
        const std::string relative = std::string(directory) + "\\" + names[i];
        char absolute[kPathCapacity];
        if (makeAbsolute(absolute, relative.c_str()) && classPath.append(absolute))
            classPath.append(";");
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
                classPath.append(";");
            break;
        case 'S':
            makeAbsolute(absolute, value);
            found = appendArchivesInDirectory(classPath, absolute, "jar");
            found = appendArchivesInDirectory(classPath, absolute, "zip") || found;
            break;
        case 'E': {
            char variable[kTextCapacity];
            const DWORD length = GetEnvironmentVariableA(value, variable, sizeof variable);
            if (length > 0 && length < sizeof variable) {
                char* text = variable;
                size_t textLength = length;
                if (textLength >= 2 && text[0] == '"' && text[textLength - 1] == '"') {
                    text[--textLength] = '\0';
                    ++text;
                }
                // The value's own end decides: a value emptied by its quotes still gets its ";".
                if (classPath.append(text) && (textLength == 0 || text[textLength - 1] != ';'))
                    classPath.append(";");
                found = true;
            } else if (length >= sizeof variable) {
                logError("environment variable %s too long for the class path", value);
            } else if (required && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
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
                fromCommandLine.push_back(toAnsi(argument.substr(2)));
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
        classPath.append(";");
    appendArchivesInDirectory(classPath, extractionDirectory(), "jar");
    appendArchivesInDirectory(classPath, extractionDirectory(), "zip");
    if (overrides.replacement)
        classPath.append(overrides.replacement);
    else
        appendConfiguredClassPath(classPath);
    if (overrides.suffix) {
        if (!classPath.endsWith(';'))
            classPath.append(";");
        classPath.append(overrides.suffix);
    }
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
