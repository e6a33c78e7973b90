// kestro: packs a Java application into one launcher executable, and shows what a launcher carries.
#include "cli/stub_location.h"
#include "commands/inspect.h"
#include "commands/pack.h"
#include "executable/signing.h"
#include "names/windows_names.h"
#include "payload/payload_format.h"
#include "pe/pe_image.h"
#include "project/project_file.h"
#include "support/text_encoding.h"
#include "writers/runtime_bundle.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <vector>

#ifndef KESTRO_VERSION
#define KESTRO_VERSION "unknown"
#endif

namespace {

using namespace kestro::packer;

// Exit codes: 0 done, 1 the work failed (project, inputs, launcher), 2 the command line is wrong.
constexpr int kFailed = 1;
constexpr int kUsage = 2;

bool findInstalledFile(std::string* path, const std::function<bool(std::string*, std::string*)>& defaultPath,
                       const char* what, const char* option) {
    std::string error;
    if (path->empty() && !defaultPath(path, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return false;
    }
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(*path, ignored)) {
        std::cerr << "kestro: " << what << " " << *path << " not found; install it there or name one with "
                  << option << " PATH\n";
        return false;
    }
    return true;
}

std::string sizeText(uint64_t bytes) {
    char text[32];
    if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

// The signing options, given together after --sign.
struct SigningOptions {
    bool sign = false;
    SigningRequest request;
    std::vector<CLI::Option*> options;

    void addTo(CLI::App* pack) {
        pack->add_flag("--sign", sign, "Sign the launcher (Authenticode, through osslsigncode)");
        options = {pack->add_option("--sign-pkcs12", request.pkcs12Path,
                                    "PKCS#12 file with the signing key and certificate")
                       ->type_name("FILE"),
                   pack->add_option("--sign-key", request.keyPath,
                                    "Signing key (PEM or DER), with --sign-certificate")
                       ->type_name("FILE"),
                   pack->add_option("--sign-certificate", request.certificatePath,
                                    "Certificate (chain) of --sign-key, PEM or DER")
                       ->type_name("FILE"),
                   pack->add_option("--sign-password-env", request.passwordEnvironmentVariable,
                                    "Environment variable that holds the key's password")
                       ->type_name("NAME"),
                   pack->add_option("--sign-password-file", request.passwordFile,
                                    "File (or pipe) whose first line is the key's password")
                       ->type_name("FILE"),
                   pack->add_option("--timestamp-url", request.timestampUrl,
                                    "RFC 3161 time-stamp server for the signature")
                       ->type_name("URL")};
    }
    // The request, or why the options do not make one.
    bool resolve(std::optional<SigningRequest>* resolved, std::string* error) const {
        for (const CLI::Option* option : options) {
            if (!sign && option->count() > 0) {
                *error = option->get_name() + " signs the launcher only together with --sign";
                return false;
            }
        }
        if (sign)
            *resolved = request;
        return true;
    }
};

// Where the launcher goes without -o: the application's name (or the project file's) with ".exe",
// beside the project file.
bool defaultOutputPath(const std::string& projectPath, const PackRequest& request, std::string* path,
                       std::string* error) {
    std::string name = std::filesystem::path(projectPath).stem().string();
    for (const auto& [id, text] : request.tables.config) {
        if (id == kestro::payload::config::ApplicationName && !text.empty())
            name = text;
    }
    std::string why;
    if (!validateIncludedFileName(name + ".exe", &why)) {
        *error = "no -o given, and the launcher cannot be named after \"" + cp1252ToUtf8(name) +
                 "\": " + why + "; name it with -o";
        return false;
    }
    *path = (std::filesystem::path(projectPath).parent_path() / (cp1252ToUtf8(name) + ".exe")).string();
    return true;
}

// "KEY=VALUE" as a value set over the project.
bool parseSetting(const std::string& setting, ProjectValue* value) {
    const size_t equals = setting.find('=');
    if (equals == std::string::npos || equals == 0)
        return false;
    *value = ProjectValue{setting.substr(0, equals), setting.substr(equals + 1)};
    return true;
}

struct PackOptions {
    std::string projectPath, outputPath, stubPath, runtimeJarPath, target = "windows-x64";
    std::vector<std::string> settings;
    SigningOptions signing;
};

int runPack(PackOptions options) {
    std::string error;
    PackRequest request;
    std::optional<SigningRequest> signingRequest;
    std::vector<ProjectValue> values;
    for (const std::string& setting : options.settings) {
        values.emplace_back();
        if (!parseSetting(setting, &values.back())) {
            std::cerr << "kestro: --set " << setting
                      << ": give KEY=VALUE, such as version.file_version=1.2.3\n";
            return kUsage;
        }
    }
    if (!options.signing.resolve(&signingRequest, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return kUsage;
    }
    std::error_code ignored;
    if (std::filesystem::is_directory(options.outputPath, ignored)) {
        std::cerr << "kestro: -o " << options.outputPath
                  << " is a directory; name the launcher to write, such as "
                  << (std::filesystem::path(options.outputPath) / "App.exe").string() << "\n";
        return kUsage;
    }
    // Read once, before the work: the password may come through a pipe.
    if (signingRequest &&
        (!checkSigningRequest(*signingRequest, &error) || !loadSigningPassword(&*signingRequest, &error))) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    if (!loadProjectFile(options.projectPath, &request, &error, values)) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    for (const std::string& warning : request.warnings)
        std::cerr << "kestro: warning: " << warning << "\n";
    std::string& outputPath = options.outputPath;
    if (outputPath.empty() && !defaultOutputPath(options.projectPath, request, &outputPath, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    const std::string ending = outputPath.size() >= 4 ? outputPath.substr(outputPath.size() - 4) : "";
    if (kestro::names::folded(ending) != ".EXE")
        std::cerr
            << "kestro: warning: " << outputPath
            << " does not end in .exe; Windows starts a program by a double-click only under such a name\n";
    const auto stubFor = [&](std::string* path, std::string* why) {
        return defaultStubPath(options.target, path, why);
    };
    if (!findInstalledFile(&options.stubPath, stubFor, "launcher stub", "--stub") ||
        !findInstalledFile(&options.runtimeJarPath, defaultRuntimeJarPath, "runtime jar", "--runtime-jar"))
        return kFailed;
    request.runtimeJarPath = options.runtimeJarPath;
    request.signing = signingRequest;
    request.targetMachine =
        options.target == "windows-x86" ? kestro::pe::kMachineX86 : kestro::pe::kMachineX64;
    PackSummary summary;
    const bool signs = request.signing.has_value();
    if (!packLauncher(options.stubPath, std::move(request), outputPath, &error, &summary)) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    std::cout << "kestro: wrote " << outputPath << " (" << sizeText(summary.outputBytes) << ", "
              << machineName(summary.machine) << ", " << summary.fileCount << " included file"
              << (summary.fileCount == 1 ? "" : "s") << ", "
              << (summary.runtimeBundled ? "Java runtime bundled" : "no Java runtime bundled")
              << (signs ? ", signed" : "") << ")\n";
    return 0;
}

int runInspect(const std::string& launcherPath, bool json) {
    LauncherContents contents;
    std::string error;
    if (!inspectLauncher(launcherPath, &contents, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    std::cout << (json ? formatInspectionJson(contents) : formatInspection(contents));
    for (const InspectedFile& file : contents.files) {
        if (file.truncated) {
            std::cerr << "kestro: " << launcherPath << ": the included file " << file.name
                      << " is cut off; the launcher is incomplete\n";
            return kFailed;
        }
    }
    if (contents.signature.digestChecked && !contents.signature.intact) {
        std::cerr << "kestro: " << launcherPath
                  << " was changed after it was signed; Windows rejects its signature\n";
        return kFailed;
    }
    if (contents.signature.present && !contents.signature.problem.empty()) {
        std::cerr << "kestro: " << launcherPath << ": the signature is damaged ("
                  << contents.signature.problem << "); Windows rejects it\n";
        return kFailed;
    }
    return 0;
}

constexpr const char* kExitStatus =
    "Exit status: 0 when the work is done; 1 when the pack or the inspection failed (the project, an\n"
    "input or the launcher; the message says why); 2 when the command line is wrong.\n";

// A help text of CLI11 without its first lines, the description and the usage line.
std::string withoutUsage(const std::string& help) {
    return help.substr(help.find('\n', help.find("Usage:")) + 1);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Packs a Java application into one Windows launcher executable, and shows what a launcher\n"
                 "carries. The project file is described in project-file.md (share/doc/kestro)."};
    app.name("kestro");
    app.set_version_flag("-V,--version", "kestro " KESTRO_VERSION, "Print the version and exit");
    app.set_help_flag("-h,--help", "Print this help and exit");
    app.require_subcommand(1);

    PackOptions packing;
    CLI::App* pack = app.add_subcommand("pack", "Build a launcher from a project file");
    pack->set_help_flag("-h,--help", "Print the help of pack and exit");
    pack->add_option("PROJECT", packing.projectPath, "Project file (TOML)")->required()->type_name("FILE");
    pack->add_option("-o,--output", packing.outputPath,
                     "Launcher to write (default: the application's name, or the project file's, with\n"
                     ".exe, beside the project file); its folder is made when missing")
        ->type_name("FILE");
    pack->add_option("--set", packing.settings,
                     "Set a key of the project, as if the file said it (repeatable): a text as it is,\n"
                     "other values in TOML (version.file_version=1.2.3, splash.width=400)")
        ->type_name("KEY=VALUE");
    pack->add_option("--target", packing.target, "Windows architecture of the launcher (default windows-x64)")
        ->check(CLI::IsMember({"windows-x64", "windows-x86"}))
        ->type_name("TARGET");
    pack->add_option("--stub", packing.stubPath,
                     "Launcher stub to use instead of the installed one for --target")
        ->type_name("FILE");
    pack->add_option("--runtime-jar", packing.runtimeJarPath,
                     "Java runtime jar (kestro-runtime.jar) to include instead of the installed one")
        ->type_name("FILE");
    packing.signing.addTo(pack);

    std::string launcherPath;
    bool json = false;
    CLI::App* inspect =
        app.add_subcommand("inspect", "Show the configuration, messages, files, resources and "
                                      "signature of a launcher");
    inspect->set_help_flag("-h,--help", "Print the help of inspect and exit");
    inspect->add_option("LAUNCHER", launcherPath, "Launcher executable")->required()->type_name("FILE");
    inspect->add_flag("--json", json, "Print JSON instead of text");

    std::string helpTopic;
    CLI::App* help = app.add_subcommand("help", "Show this help, or the help of a subcommand");
    help->add_option("SUBCOMMAND", helpTopic, "pack or inspect");

    // The usage lines first, in the form help2man makes the man page's synopsis of, then the options of
    // the program and of each subcommand.
    const auto wholeHelp = [&] {
        return "Usage: kestro pack [OPTIONS] PROJECT\n  or:  kestro inspect [OPTIONS] LAUNCHER\n"
               "  or:  kestro help [SUBCOMMAND]\n" +
               app.get_description() + "\n" + withoutUsage(app.help()) +
               "\nkestro pack: " + pack->get_description() + "\n" + withoutUsage(pack->help("kestro")) +
               "\nkestro inspect: " + inspect->get_description() + "\n" +
               withoutUsage(inspect->help("kestro")) + "\n" + kExitStatus;
    };
    const auto helpOf = [&](const CLI::App* subcommand) {
        return subcommand->help("kestro") + "\n" + kExitStatus;
    };
    // An unknown first word is a mistyped subcommand far more often than anything else.
    const std::string first = argc > 1 ? argv[1] : "";
    if (first.empty()) {
        std::cerr << wholeHelp();
        return kUsage;
    }
    if (first[0] != '-' && first != "pack" && first != "inspect" && first != "help") {
        std::cerr << "kestro: unknown subcommand \"" << first << "\"; the subcommands are pack, inspect and "
                  << "help (kestro help shows them)\n";
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        const auto parsed = app.get_subcommands();
        std::cout << (parsed.empty() ? wholeHelp() : helpOf(parsed.front()));
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::cout << "kestro " KESTRO_VERSION "\n";
        return 0;
    } catch (const CLI::ParseError& failure) {
        const auto parsed = app.get_subcommands();
        std::cerr << "kestro: " << failure.what() << "\nkestro: see kestro help"
                  << (parsed.empty() ? "" : " " + parsed.front()->get_name()) << "\n";
        return kUsage;
    }
    if (help->parsed()) {
        app.clear(); // the help of the whole program, not of the help subcommand
        if (helpTopic.empty()) {
            std::cout << wholeHelp();
        } else if (helpTopic == "pack" || helpTopic == "inspect") {
            std::cout << helpOf(helpTopic == "pack" ? pack : inspect);
        } else {
            std::cerr << "kestro: help: unknown subcommand \"" << helpTopic
                      << "\"; the subcommands are pack and inspect\n";
            return kUsage;
        }
        return 0;
    }
    if (pack->parsed())
        return runPack(std::move(packing));
    return runInspect(launcherPath, json);
}
