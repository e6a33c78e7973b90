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

int runPack(const std::string& projectPath, const std::string& outputPath, std::string stubPath) {
    std::string error;
    if (stubPath.empty() && !defaultStubPath(&stubPath, &error)) {
        std::cerr << "kestro: " << error << "\n";
        return 1;
    }
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(stubPath, ignored)) {
        std::cerr << "kestro: launcher stub " << stubPath
                  << " not found; install it there or name one with --stub PATH\n";
        return 1;
    }
    PackRequest request;
    if (!loadProjectFile(projectPath, &request, &error) ||
        !packLauncher(stubPath, request, outputPath, &error)) {
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

    std::string projectPath, outputPath, stubPath;
    CLI::App* pack = app.add_subcommand("pack", "Build a launcher from a project file");
    pack->add_option("project", projectPath, "Project file (TOML)")->required();
    pack->add_option("-o,--output", outputPath, "Launcher to write")->required();
    pack->add_option("--stub", stubPath, "Launcher stub to use instead of the installed one");

    std::string launcherPath;
    bool json = false;
    CLI::App* inspect =
        app.add_subcommand("inspect", "Show the configuration, messages and files of a launcher");
    inspect->add_option("launcher", launcherPath, "Launcher executable")->required();
    inspect->add_flag("--json", json, "Print JSON instead of text");

    CLI11_PARSE(app, argc, argv);
    if (pack->parsed())
        return runPack(projectPath, outputPath, stubPath);
    return runInspect(launcherPath, json);
}
