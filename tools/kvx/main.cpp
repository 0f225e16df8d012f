// kvx: converts between KVX project files and common mesh formats, and inspects KVX files.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <map>

#include "Commands.h"
#include "Errors.h"
#include "kvx.h"

namespace {

using namespace kvx::cli;

constexpr const char* kExitCodes =
    "Exit codes: 0 success, 1 other failure, 2 bad arguments, 3 unreadable input, 4 not a KVX "
    "file, 5 wrong or missing password, 6 corrupt KVX data, 7 cannot write, 8 coordinates do not "
    "fit the grid, 9 compare found differences.";

void AddCommon(CLI::App& command, Common& common, std::string& unit, bool passwords) {
    command
        .add_option("--unit", unit,
                    "Length of one grid step: 1um (default), 10nm, 0.01mm, ... or a number in "
                    "the mesh files' unit (millimetres)")
        ->type_name("LENGTH");
    if (passwords) {
        command.add_flag("--password", common.password.prompt,
                         "Ask for the password on the terminal");
        command
            .add_option("--password-file", common.password.file,
                        "Read the password from the first line of FILE")
            ->type_name("FILE");
        command
            .add_option("--password-env", common.password.variable,
                        "Read the password from the environment variable NAME")
            ->type_name("NAME");
    }
    command.add_flag("-q,--quiet", common.quiet, "No progress bar, no summary");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kvx " + std::string(kvx::Version()) +
                 ": read, write and inspect KVX project files"};
    app.footer(kExitCodes);
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string(kvx::Version()));

    Common common;
    std::string unit = "1um";

    PackOptions pack;
    std::string sfx;
    CLI::App* packCmd =
        app.add_subcommand("pack", "Pack meshes (STL, PLY, OBJ, OFF) into a KVX file");
    packCmd->add_option("meshes", pack.inputs, "Mesh files")->required();
    packCmd->add_option("-o,--output", pack.output, "The KVX file to write")
        ->type_name("OUT.kvx")
        ->required();
    packCmd->add_option("--name", pack.names,
                        "Mesh name, once per mesh in order (default: file name)");
    packCmd->add_flag("--colors", pack.colors, "Keep triangle colours");
    packCmd->add_option("--data", pack.dataFiles, "Add FILE as a data block (repeatable)")
        ->type_name("FILE")
        ->allow_extra_args(false);
    CLI::Option* sfxOption =
        packCmd
            ->add_option("--sfx", sfx,
                         "Build a self-extracting package (.exe) with STUB (default: the "
                         "installed kvx-sfx-stub)")
            ->expected(0, 1)
            ->type_name("STUB");
    packCmd->add_flag("-f,--force", common.force, "Replace an existing output file");
    AddCommon(*packCmd, common, unit, true);

    UnpackOptions unpack;
    std::string format = "stl", stlColors = "valid-bit";
    CLI::App* unpackCmd =
        app.add_subcommand("unpack", "Write the meshes and data blocks of a KVX file");
    unpackCmd->add_option("file", unpack.input, "The KVX file")->required();
    unpackCmd->add_option("-o,--output", unpack.folder, "Output folder (created if needed)")
        ->required();
    unpackCmd->add_option("--format", format, "stl (default), ply or obj")
        ->check(CLI::IsMember({"stl", "ply", "obj"}));
    unpackCmd->add_flag("--ascii", unpack.asciiStl, "ASCII instead of binary STL");
    unpackCmd->add_flag("--colors", unpack.colors, "Write triangle colours");
    unpackCmd
        ->add_option("--stl-colors", stlColors,
                     "Binary STL colour convention: valid-bit (default; VisCAM, SolidView) "
                     "or magics (Materialise)")
        ->check(CLI::IsMember({"valid-bit", "magics"}));
    unpackCmd->add_flag("-f,--force", common.force, "Replace existing files");
    AddCommon(*unpackCmd, common, unit, true);

    std::string input;
    bool json = false;
    CLI::App* infoCmd = app.add_subcommand("info", "Describe a KVX file");
    infoCmd->add_option("file", input, "The KVX file")->required();
    infoCmd->add_flag("--json", json, "Machine-readable output");
    AddCommon(*infoCmd, common, unit, true);

    CLI::App* verifyCmd = app.add_subcommand(
        "verify", "Decode everything in a KVX file; exit 0 only when it is sound");
    verifyCmd->add_option("file", input, "The KVX file")->required();
    AddCommon(*verifyCmd, common, unit, true);

    std::string first, second;
    bool compareColors = false;
    CLI::App* compareCmd = app.add_subcommand(
        "compare",
        "Compare two mesh files triangle by triangle on the grid (order does not matter)");
    compareCmd->add_option("first", first, "Mesh file")->required();
    compareCmd->add_option("second", second, "Mesh file")->required();
    compareCmd->add_flag("--colors", compareColors, "Triangle colours must match too");
    AddCommon(*compareCmd, common, unit, false);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        common.unit = ParseUnit(unit);
        if (packCmd->parsed()) {
            if (sfxOption->count() > 0) pack.sfxStub = sfx;
            return Pack(pack, common);
        }
        if (unpackCmd->parsed()) {
            unpack.format = format == "ply"   ? kvx::meshio::Format::Ply
                            : format == "obj" ? kvx::meshio::Format::Obj
                                              : kvx::meshio::Format::Stl;
            unpack.stlColors = stlColors == "magics" ? kvx::meshio::StlColors::Magics
                                                     : kvx::meshio::StlColors::ValidBit;
            return Unpack(unpack, common);
        }
        if (infoCmd->parsed()) return Info(input, json, common);
        if (verifyCmd->parsed()) return Verify(input, common);
        if (compareCmd->parsed()) return Compare(first, second, compareColors, common);
    } catch (const CliError& e) {
        std::fprintf(stderr, "kvx: %s\n", e.what());
        return e.code();
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kvx: out of memory\n");
        return kExitFailure;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kvx: %s\n", e.what());
        return kExitFailure;
    }
    return kExitUsage;
}
