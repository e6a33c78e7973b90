// Finding and loading a Java runtime: the one entry LoadDLL, and the search it runs when no runtime
// is named. The search tries, in order: the preferred-location file, the configured search sequence
// (configuration 128, entries such as "Y;EJAVA_HOME;Ajre"), the product variable of the application
// kind, the installer-location file, and a last pass that takes a directory entry whose executable
// merely exists. Version bounds are configurations 126 and 127. Every candidate of the search,
// the last pass's included, must be built for the launcher's machine.
#pragma once

// Where the runtime was found; chooses the message shown when its library fails to load.
enum LocationType {
    kNotFound = 0,
    kSearchPath = 1,
    kDirectory = 2,
    kEnvironmentVariable = 3,
    kRegistry = 4,
};

// Obtains a runtime and loads its JVM library, resolving JNI_CreateJavaVM (stored with
// setCreateVmEntry) and recording the runtime home (setJvmHome). With location null, searches;
// otherwise uses location: a java.exe when locationIsExecutable (version-checked, pre-release
// allowed), else a runtime home taken on trust. Returns false after logging when no runtime is
// found or its library fails; with showErrors, one configured message then tells the user (1001
// nothing usable; 1002, 1003, 1004 or 1005 by location type for a library that failed).
bool LoadDLL(bool showErrors, const char* location, bool locationIsExecutable);

// Runs the search. Returns the location type, with the executable in executable and the text naming
// the location (the entry's value or the variable's name; empty for the registry) in locationText,
// both kPathCapacity bytes. kNotFound leaves them unspecified.
int searchJvm(char* executable, char* locationText);

// Reads the first line, without its line end, of configuration 10003's directory (full path, case
// kept) followed by suffix into line (kPathCapacity bytes). False when the file cannot be opened or
// is empty.
bool readLocationFile(char* line, const char* suffix);

// The runtime home directory (relative to the launcher's directory when not absolute) is unpacked if
// packed and mapped to its executable (kPathCapacity bytes). Trusted: always true, without version
// test. Otherwise true when the layout rule and checkJavaExe (pre-release allowed) accept it.
bool checkHomeLocation(char* executable, const char* directory, const char* minimum, const char* maximum,
                       bool trusted);

// The runtime home named by the environment variable ('/' read as '\'); pre-release refused. False
// when the variable is unset, empty, or longer than 8191 bytes.
bool checkEnvLocation(char* executable, const char* variable, const char* minimum, const char* maximum);

// java.exe on the system's search path; pre-release refused.
bool checkPathLocation(char* executable, const char* minimum, const char* maximum);
