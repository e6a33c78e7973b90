// kestro: packs a Java application into one launcher executable, and shows what a launcher carries.
#include "inspect.h"
#include "pack.h"
#include "project_file.h"
#include "stub_location.h"

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

namespace {

using namespace kestro::packer;

// Fills in the installed default when path is empty; false, after saying why, when there is no file.
bool findInstalledFile(std::string* path, bool (*defaultPath)(std::string*, std::string*), const char* what,
                       const char* option) {
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

int runPack(const std::string& projectPath, const std::string& outputPath, std::string stubPath,
            std::string runtimeJarPath) {
    std::string error;
    PackRequest request;
    if (!loadProjectFile(projectPath, &request, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return 1;
    }
    if (!findInstalledFile(&stubPath, defaultStubPath, "launcher stub", "--stub") ||
        !findInstalledFile(&runtimeJarPath, defaultRuntimeJarPath, "runtime jar", "--runtime-jar"))
        return 1;
    request.runtimeJarPath = runtimeJarPath;
    if (!packLauncher(stubPath, request, outputPath, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return 1;
    }
    return 0;
}

int runInspect(const std::string& launcherPath, bool json) {
    LauncherContents contents;
    std::string error;
    if (!inspectLauncher(launcherPath, &contents, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return 1;
    }
    std::cout << (json ? formatInspectionJson(contents) : formatInspection(contents));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kestro: packs a Java application into one Windows launcher executable"};
    app.require_subcommand(1);

    std::string projectPath, outputPath, stubPath, runtimeJarPath;
    CLI::App* pack = app.add_subcommand("pack", "Build a launcher from a project file");
    pack->add_option("project", projectPath, "Project file (TOML)")->required();
    pack->add_option("-o,--output", outputPath, "Launcher to write")->required();
    pack->add_option("--stub", stubPath, "Launcher stub to use instead of the installed one");
    pack->add_option("--runtime-jar", runtimeJarPath,
                     "Java runtime jar (kestro-runtime.jar) to include instead of the installed one");

    std::string launcherPath;
    bool json = false;
    CLI::App* inspect =
        app.add_subcommand("inspect", "Show the configuration, messages and files of a launcher");
    inspect->add_option("launcher", launcherPath, "Launcher executable")->required();
    inspect->add_flag("--json", json, "Print JSON instead of text");

    CLI11_PARSE(app, argc, argv);
    if (pack->parsed())
        return runPack(projectPath, outputPath, stubPath, runtimeJarPath);
    return runInspect(launcherPath, json);
}
