#include "project/project_keys.h"

#include "payload/payload_format.h"

#include <cstring>

namespace kestro::packer {
namespace {

namespace cfg = payload::config;
namespace msg = payload::message;

constexpr size_t kText = 8192;
constexpr size_t kFontFace = 32;
constexpr size_t kJvmVariant = 200;

std::vector<ProjectKey> buildKeys() {
    using T = ValueType;
    auto key = [](const char* section, const char* name, int32_t id, ValueType type,
                  const char* defaultText = nullptr, size_t capacity = kText) {
        return ProjectKey{section, name, id, type, defaultText, capacity, nullptr, EntryRule::None};
    };
    auto list = [](const char* section, const char* name, int32_t id, EntryRule rule,
                   const char* defaultText = nullptr) {
        return ProjectKey{section, name, id, T::List, defaultText, kText, nullptr, rule};
    };
    auto format16 = [](const char* name, int32_t id, const char* conversions, const char* defaultText) {
        return ProjectKey{"messages",  name,  id,          T::Message16,
                          defaultText, kText, conversions, EntryRule::None};
    };
    return {
        key("application", "name", cfg::ApplicationName, T::Text),
        key("application", "main_class", cfg::MainClass, T::Text),
        key("application", "kind", cfg::ApplicationKind, T::Kind, "k", 2),
        key("application", "executable_type", cfg::ExecutableType, T::Integer, "1"),
        key("application", "working_directory", cfg::WorkingDirectory, T::Text),
        list("application", "path_prefix", cfg::PathPrefix, EntryRule::None),
        key("application", "arguments", cfg::MainArguments, T::Text),
        key("application", "error_log_enabled", cfg::ErrorLogEnabled, T::Flag),
        key("application", "error_log_file", cfg::ErrorLogFile, T::Text),
        key("application", "output_log_enabled", cfg::OutputLogEnabled, T::Flag),
        key("application", "output_log_file", cfg::OutputLogFile, T::Text),
        key("application", "java_side_switch", cfg::JavaSideSwitch, T::Flag),
        key("application", "location_file_base", cfg::LocationFileBase, T::Text),

        // The runtime jar every launcher carries is built for Java 8.
        key("java", "min_version", cfg::MinimumVersion, T::Text, "1.8"),
        key("java", "max_version", cfg::MaximumVersion, T::Text),
        list("java", "search_sequence", cfg::SearchSequence, EntryRule::SearchEntry,
             "Y;EJAVA_HOME;EJDK_HOME"),
        key("java", "allow_prerelease", cfg::AllowPreRelease, T::Flag),
        key("java", "require_jdk", cfg::RequireJdk, T::Flag),
        key("java", "preferred_variant", cfg::PreferredJvmVariant, T::Text, nullptr, kJvmVariant),
        key("java", "download_url", cfg::DownloadUrl, T::Text),
        key("java", "download_sha256", cfg::DownloadSha256, T::Sha256),
        key("java", "bundled_runtime_size", cfg::RuntimeArchiveSize, T::Integer),
        key("java", "bundled_runtime_pack200", cfg::RuntimeIsPacked, T::Flag),
        key("java", "bundled_runtime_sha256", cfg::RuntimeArchiveDigest, T::Derived),
        key("java", "cache_runtime", cfg::CacheRuntime, T::Flag, "1"),
        key("java", "class_data_sharing", cfg::ShareClassData, T::Flag, "1"),

        key("vm", "parameters", cfg::VmParameters, T::Text),
        list("vm", "class_path", cfg::ClassPath, EntryRule::ClassPathEntry),
        key("vm", "dash_j_options", cfg::DashJArgumentsAreVmOptions, T::Flag),

        key("single_instance", "enabled", cfg::SingleInstanceCommFile, T::Flag),
        key("single_instance", "hand_over", cfg::SingleInstanceHandOver, T::Flag),

        key("splash", "width", cfg::SplashWidth, T::Integer),
        key("splash", "height", cfg::SplashHeight, T::Integer),
        key("splash", "close_on_window", cfg::SplashClosesOnWindow, T::Flag),
        key("splash", "topmost", cfg::SplashTopmost, T::Flag),
        key("splash", "quiet_mode", cfg::SplashInQuietMode, T::Flag),
        key("splash.status", "x", cfg::SplashStatusX, T::Integer),
        key("splash.status", "y", cfg::SplashStatusY, T::Integer),
        key("splash.status", "text", cfg::SplashStatusText, T::Text),
        key("splash.status", "font", cfg::SplashStatusFont, T::Text, nullptr, kFontFace),
        key("splash.status", "font_size", cfg::SplashStatusFontSize, T::Integer),
        key("splash.status", "colour", cfg::SplashStatusColour, T::Colour),
        key("splash.status", "font_weight", cfg::SplashStatusFontWeight, T::Integer),
        key("splash.version", "x", cfg::SplashVersionX, T::Integer),
        key("splash.version", "y", cfg::SplashVersionY, T::Integer),
        key("splash.version", "text", cfg::SplashVersionText, T::Text),
        key("splash.version", "font", cfg::SplashVersionFont, T::Text, nullptr, kFontFace),
        key("splash.version", "font_size", cfg::SplashVersionFontSize, T::Integer),
        key("splash.version", "colour", cfg::SplashVersionColour, T::Colour),
        key("splash.version", "font_weight", cfg::SplashVersionFontWeight, T::Integer),

        // Both captions are the application's name when the project gives one (kNamedDefaults).
        key("messages", "error_caption", cfg::ErrorCaption, T::Text, "Error"),
        key("messages", "no_jvm", cfg::MessageNoJvm, T::Text,
            "No Java runtime was found. Please install Java and start the program again."),
        key("messages", "jvm_in_path_damaged", cfg::MessageJvmInPathDamaged, T::Text,
            "The Java runtime found on the search path is damaged. Please reinstall Java."),
        key("messages", "variable_not_working_jvm", cfg::MessageVariableNotWorkingJvm, T::Text,
            "The environment variable {0} does not point to a working JDK or JRE."),
        key("messages", "jvm_at_damaged", cfg::MessageJvmAtDamaged, T::Text,
            "The Java runtime at {0} is damaged. Please reinstall Java."),
        key("messages", "jvm_not_started", cfg::MessageJvmNotStarted, T::Text,
            "The Java virtual machine could not be started."),
        key("messages", "file_not_found", cfg::MessageFileNotFound, T::Text,
            "The file or directory {0} was not found or is empty."),
        key("messages", "wrong_parameters", cfg::MessageWrongParameters, T::Text,
            "The command-line parameters are used wrongly."),
        key("messages", "variable_undefined", cfg::MessageVariableUndefined, T::Text,
            "The environment variable {0} has to be defined."),
        key("messages", "internal_error", cfg::MessageInternalError, T::Text,
            "An internal error occurred (error code {0})."),
        key("messages", "main_class_not_loaded", cfg::MessageMainClassNotLoaded, T::Text,
            "The main class of the application could not be loaded."),
        key("messages", "main_method_not_found", cfg::MessageMainMethodNotFound, T::Text,
            "The main method of the application was not found."),

        format16("download_status", msg::DownloadStatus, nullptr, "Downloading a Java runtime..."),
        format16("internet_unavailable", msg::InternetUnavailable, nullptr,
                 "The Internet functions of Windows could not be initialized."),
        format16("download_failed", msg::DownloadFailed, nullptr,
                 "The Java runtime could not be downloaded."),
        format16("locate_dialog_title", msg::LocateDialogTitle, nullptr, "Locate java.exe"),
        // {versions}: the accepted versions in words, filled in by the packer (kVersionsPlaceholder).
        format16("question_with_download", msg::QuestionWithDownload, "SS",
                 "No suitable Java runtime was found on this computer. The program runs on {versions}.\nDo "
                 "you want to download one, or locate an installed java.exe yourself?"),
        format16("question_without_download", msg::QuestionWithoutDownload, "SS",
                 "No suitable Java runtime was found on this computer. The program runs on {versions}.\nDo "
                 "you want to locate an installed java.exe yourself?"),
        format16("progress_status", msg::ProgressStatus, nullptr, "Starting the application..."),
        format16("download_progress", msg::DownloadProgressFormat, "ffff",
                 "%.2f MB of %.2f MB (%.1f%%) at %.1f kb/s"),
        format16("download_connecting", msg::DownloadConnecting, nullptr,
                 "Connecting to the download server..."),
        format16("download_button", msg::DownloadButton, nullptr, "Download"),
        format16("locate_button", msg::LocateButton, nullptr, "Locate..."),
        format16("cancel_button", msg::CancelButton, nullptr, "Cancel"),
        format16("dialog_caption", msg::DialogCaption, nullptr, "Application start"),
        format16(
            "startup_timeout", msg::StartupTimeout, nullptr,
            "The Java virtual machine did not start in time. Start the program with the option /manual to "
            "choose a Java runtime yourself."),
        format16(
            "last_run_failed", msg::LastRunFailedQuestion, nullptr,
            "The application did not start correctly last time.\nDo you want to download or select a Java "
            "runtime?"),
        format16("installation_corrupted", msg::InstallationCorrupted, nullptr,
                 "The installation file is corrupted. Please download it again."),
        format16("disk_full", msg::DiskFull, nullptr,
                 "There is not enough free disk space to start the application."),
        format16("application_error", msg::ApplicationError, nullptr, "The application ended with an error."),

        key("files", "count", cfg::IncludedFileCount, T::Derived),
        key("files", "names", cfg::IncludedFileNames, T::Derived),
    };
}

} // namespace

const std::vector<ProjectKey>& projectKeys() {
    static const std::vector<ProjectKey> keys = buildKeys();
    return keys;
}

const ProjectKey* findKey(const char* section, const char* name) {
    for (const ProjectKey& key : projectKeys()) {
        if (std::strcmp(key.section, section) == 0 && std::strcmp(key.name, name) == 0)
            return &key;
    }
    return nullptr;
}

bool namedDefault(const ProjectKey& key) {
    return (key.id == cfg::ErrorCaption && key.type == ValueType::Text) ||
           (key.id == msg::DialogCaption && key.type == ValueType::Message16);
}

const ProjectKey* findKeyById(int32_t id, bool messageTable) {
    for (const ProjectKey& key : projectKeys()) {
        if (key.id == id && (key.type == ValueType::Message16) == messageTable)
            return &key;
    }
    return nullptr;
}

} // namespace kestro::packer
