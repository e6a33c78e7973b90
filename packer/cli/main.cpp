// kestro: packs a Java application into one launcher executable, and shows what a launcher carries.
#include "cli/stub_location.h"
#include "commands/inspect.h"
#include "commands/pack.h"
#include "executable/signing.h"
#include "pe/pe_image.h"
#include "project/project_file.h"
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
                                    "PKCS#12 file with the signing key and certificate"),
                   pack->add_option("--sign-key", request.keyPath,
                                    "Signing key (PEM or DER), with --sign-certificate"),
                   pack->add_option("--sign-certificate", request.certificatePath,
                                    "Certificate (chain) of --sign-key, PEM or DER"),
                   pack->add_option("--sign-password-env", request.passwordEnvironmentVariable,
                                    "Environment variable that holds the key's password"),
                   pack->add_option("--sign-password-file", request.passwordFile,
                                    "File whose first line is the key's password"),
                   pack->add_option("--timestamp-url", request.timestampUrl,
                                    "RFC 3161 time-stamp server for the signature")};
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

int runPack(const std::string& projectPath, const std::string& outputPath, const std::string& target,
            std::string stubPath, std::string runtimeJarPath, const SigningOptions& signing) {
    std::string error;
    PackRequest request;
    std::optional<SigningRequest> signingRequest;
    if (!signing.resolve(&signingRequest, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return kUsage;
    }
    // Read once, before the work: the password may come through a pipe.
    if (signingRequest &&
        (!checkSigningRequest(*signingRequest, &error) || !loadSigningPassword(&*signingRequest, &error))) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    if (!loadProjectFile(projectPath, &request, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return kFailed;
    }
    for (const std::string& warning : request.warnings)
        std::cerr << "kestro: warning: " << warning << "\n";
    const auto stubFor = [&](std::string* path, std::string* why) {
        return defaultStubPath(target, path, why);
    };
    if (!findInstalledFile(&stubPath, stubFor, "launcher stub", "--stub") ||
        !findInstalledFile(&runtimeJarPath, defaultRuntimeJarPath, "runtime jar", "--runtime-jar"))
        return kFailed;
    request.runtimeJarPath = runtimeJarPath;
    request.signing = signingRequest;
    request.targetMachine = target == "windows-x86" ? kestro::pe::kMachineX86 : kestro::pe::kMachineX64;
    PackSummary summary;
    const bool signs = request.signing.has_value();
    if (!packLauncher(stubPath, std::move(request), outputPath, &error, &summary)) {
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

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kestro: packs a Java application into one Windows launcher executable"};
    app.set_version_flag("--version", "kestro " KESTRO_VERSION);
    app.require_subcommand(1);

    std::string projectPath, outputPath, stubPath, runtimeJarPath, target = "windows-x64";
    CLI::App* pack = app.add_subcommand("pack", "Build a launcher from a project file");
    pack->add_option("project", projectPath, "Project file (TOML)")->required();
    pack->add_option("-o,--output", outputPath, "Launcher to write")->required();
    pack->add_option("--target", target, "Windows architecture of the launcher (default windows-x64)")
        ->check(CLI::IsMember({"windows-x64", "windows-x86"}));
    pack->add_option("--stub", stubPath, "Launcher stub to use instead of the installed one for --target");
    pack->add_option("--runtime-jar", runtimeJarPath,
                     "Java runtime jar (kestro-runtime.jar) to include instead of the installed one");
    SigningOptions signing;
    signing.addTo(pack);

    std::string launcherPath;
    bool json = false;
    CLI::App* inspect =
        app.add_subcommand("inspect", "Show the configuration, messages and files of a launcher");
    inspect->add_option("launcher", launcherPath, "Launcher executable")->required();
    inspect->add_flag("--json", json, "Print JSON instead of text");

    CLI::App* help = app.add_subcommand("help", "Show this help");

    // An unknown first word is a mistyped subcommand far more often than anything else.
    const std::string first = argc > 1 ? argv[1] : "";
    if (first.empty()) {
        std::cerr << app.help();
        return kUsage;
    }
    if (!first.empty() && first[0] != '-' && first != "pack" && first != "inspect" && first != "help") {
        std::cerr << "kestro: unknown subcommand \"" << argv[1]
                  << "\"; the subcommands are pack, inspect and "
                  << "help (kestro help shows them)\n";
        return kUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        return app.exit(failure) == 0 ? 0 : kUsage;
    }
    if (help->parsed()) {
        app.clear(); // the help of the whole program, not of the help subcommand
        std::cout << app.help() << "\n" << pack->help() << "\n" << inspect->help();
        return 0;
    }
    if (pack->parsed())
        return runPack(projectPath, outputPath, target, stubPath, runtimeJarPath, signing);
    return runInspect(launcherPath, json);
}
