// kvx: converts between KVX project files and common mesh formats, and inspects KVX files.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <vector>

#include "Commands.h"
#include "Errors.h"
#include "Support.h"
#include "TempFiles.h"
#include "Text.h"
#include "kvx.h"

namespace {

using namespace kvx::cli;

constexpr const char* kExitCodes =
    "Exit codes: 0 success, 1 other failure, 2 bad arguments, 3 unreadable input, 4 not a KVX "
    "file, 5 wrong or missing password, 6 corrupt KVX data, 7 cannot write, 8 coordinates do not "
    "fit the grid, 9 compare found differences.";

struct Lengths {
    std::string grid = "1um", fileUnit = "mm";
    // One per command that takes them.
    std::vector<CLI::Option*> gridOptions, fileUnitOptions;
    static bool Given(const std::vector<CLI::Option*>& options) {
        return std::any_of(options.begin(), options.end(),
                           [](const CLI::Option* o) { return o->count() > 0; });
    }
};

void AddLengths(CLI::App& command, Lengths& lengths, const char* fileUnitHelp) {
    lengths.gridOptions.push_back(
        command
            .add_option("--grid,--unit", lengths.grid,
                        "Length of one grid step: 1um (default), 10nm, 0.01mm, 1in, ... or a "
                        "number in mesh-file units")
            ->type_name("LENGTH"));
    lengths.fileUnitOptions.push_back(
        command.add_option("--file-unit", lengths.fileUnit, fileUnitHelp)
            ->check(CLI::IsMember({"mm", "cm", "m", "in", "ft"}))
            ->type_name("UNIT"));
}

void AddPasswords(CLI::App& command, Common& common) {
    command.add_flag("--password", common.password.prompt, "Ask for the password on the terminal");
    command
        .add_option("--password-file", common.password.file,
                    "Read the password from the first line of FILE")
        ->type_name("FILE");
    command
        .add_option("--password-env", common.password.variable,
                    "Read the password from the environment variable NAME")
        ->type_name("NAME");
}

void AddQuiet(CLI::App& command, Common& common) {
    command.add_flag("-q,--quiet", common.quiet, "No progress bar, no summary");
}

std::optional<kvx::meshio::Format> InputFormat(const std::string& name) {
    if (name.empty()) return std::nullopt;
    return name == "ply"   ? kvx::meshio::Format::Ply
           : name == "obj" ? kvx::meshio::Format::Obj
           : name == "off" ? kvx::meshio::Format::Off
                           : kvx::meshio::Format::Stl;
}

void AddInputFormat(CLI::App& command, std::string& format) {
    command
        .add_option("--input-format", format,
                    "Format of the mesh files whatever their names (needed for -): stl, ply, "
                    "obj or off")
        ->check(CLI::IsMember({"stl", "ply", "obj", "off"}))
        ->type_name("FORMAT");
}

// A positional argument that the command checks itself, so that a missing one gets a sentence.
void Require(bool given, const char* what) {
    if (!given) throw CliError(kExitUsage, what);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"kvx " + std::string(kvx::Version()) +
                 ": read, write and inspect KVX project files"};
    app.name("kvx");
    app.footer(kExitCodes);
    app.set_version_flag("--version", std::string(kvx::Version()));

    Common common;
    Lengths lengths;
    bool json = false;

    PackOptions pack;
    std::string sfx, packFormat;
    CLI::App* packCmd =
        app.add_subcommand("pack", "Pack meshes (STL, PLY, OBJ, OFF) into a KVX file");
    packCmd->add_option("meshes", pack.inputs, "Mesh files (- for standard input)")
        ->type_name("MESH");
    packCmd
        ->add_option("-o,--output", pack.output,
                     "The KVX file to write (.kvx is added to a name without it; - for standard "
                     "output)")
        ->type_name("OUT.kvx");
    packCmd->add_option("--name", pack.names,
                        "Mesh name, once per mesh in order (default: file name)");
    packCmd->add_flag("--colors,!--no-colors", pack.colors,
                      "Keep triangle colours (the default) or drop them");
    packCmd->add_option("--data", pack.dataFiles, "Add FILE as a data block (repeatable)")
        ->type_name("FILE")
        ->allow_extra_args(false);
    packCmd->add_flag("--split", pack.split,
                      "Pack each named part of a file (OBJ o/g groups, ASCII STL solids) as its "
                      "own mesh");
    packCmd->add_flag("--reproducible", pack.reproducible,
                      "Derive the file's object ids from its content, so that the same input "
                      "gives the same bytes");
    CLI::Option* sfxOption =
        packCmd
            ->add_option("--sfx", sfx,
                         "Build a self-extracting package (.exe) with STUB (default: the "
                         "installed kvx-sfx-stub)")
            ->expected(0, 1)
            ->type_name("STUB");
    packCmd->add_flag("-f,--force", common.force, "Replace an existing output file");
    AddInputFormat(*packCmd, packFormat);
    AddLengths(*packCmd, lengths, "Unit of the mesh files: mm (default), cm, m, in or ft");
    AddPasswords(*packCmd, common);
    AddQuiet(*packCmd, common);

    UnpackOptions unpack;
    std::string format = "stl", stlColors = "valid-bit";
    CLI::App* unpackCmd =
        app.add_subcommand("unpack", "Write the meshes and data blocks of a KVX file");
    unpackCmd->add_option("file", unpack.input, "The KVX file (or self-extracting package)")
        ->type_name("FILE");
    unpackCmd->add_option(
        "-o,--output", unpack.folder,
        "Output folder (created if needed); - writes the one mesh (see --mesh) to standard output");
    unpackCmd->add_option("--format", format, "stl (default), ply or obj")
        ->check(CLI::IsMember({"stl", "ply", "obj"}));
    unpackCmd->add_flag("--ascii", unpack.ascii, "ASCII instead of binary STL or PLY");
    unpackCmd->add_flag("--colors,!--no-colors", unpack.colors,
                        "Write triangle colours (the default) or leave them out");
    unpackCmd
        ->add_option("--stl-colors", stlColors,
                     "Binary STL colour convention: valid-bit (default: bit 15 marks a facet "
                     "colour) or header (\"COLOR=\" in the header gives the object colour)")
        ->check(CLI::IsMember({"valid-bit", "header"}));
    unpackCmd->add_option("--mesh", unpack.meshes, "Write only the mesh named NAME (repeatable)")
        ->type_name("NAME")
        ->allow_extra_args(false);
    unpackCmd->add_flag("-f,--force", common.force, "Replace existing files");
    AddLengths(*unpackCmd, lengths,
               "Unit of the mesh files written: the one the KVX file records, else mm");
    AddPasswords(*unpackCmd, common);
    AddQuiet(*unpackCmd, common);

    std::vector<std::string> inputs;
    CLI::App* infoCmd = app.add_subcommand("info", "Describe KVX files");
    infoCmd->add_option("files", inputs, "KVX files (or self-extracting packages)")
        ->type_name("FILE");
    infoCmd->add_flag("--json", json, "Machine-readable output, errors included");
    AddLengths(*infoCmd, lengths, "Unit for sizes: the one the KVX file records, else mm");
    AddPasswords(*infoCmd, common);
    AddQuiet(*infoCmd, common);

    CLI::App* verifyCmd = app.add_subcommand(
        "verify", "Decode everything in KVX files; exit 0 only when all are sound");
    verifyCmd->add_option("files", inputs, "KVX files (or self-extracting packages)")
        ->type_name("FILE");
    verifyCmd->add_flag("--json", json, "Machine-readable output, errors included");
    AddPasswords(*verifyCmd, common);
    AddQuiet(*verifyCmd, common);

    std::vector<std::string> compared;
    bool compareColors = false;
    std::string compareFormat;
    CLI::App* compareCmd = app.add_subcommand(
        "compare",
        "Compare two mesh or KVX files triangle by triangle on the grid (order does not matter)");
    compareCmd->add_option("files", compared, "Two mesh files or KVX files")->type_name("FILE");
    compareCmd->add_flag("--colors", compareColors, "Triangle colours must match too");
    AddInputFormat(*compareCmd, compareFormat);
    AddLengths(*compareCmd, lengths, "Unit of the mesh files: mm (default), cm, m, in or ft");
    AddPasswords(*compareCmd, common);
    AddQuiet(*compareCmd, common);

    if (argc <= 1) {
        // No command: what there is to do.
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    try {
        app.require_subcommand(1);
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? kExitOk : kExitUsage;
    }

    try {
        // From here on, temporary files are the tool's and go with it, signals included.
        StartTempFiles();
        common.unit = ParseUnit(lengths.grid, lengths.fileUnit);
        common.gridGiven = Lengths::Given(lengths.gridOptions);
        common.fileUnitGiven = Lengths::Given(lengths.fileUnitOptions);
        if (packCmd->parsed()) {
            Require(!pack.inputs.empty(),
                    "pack: name at least one mesh file (STL, PLY, OBJ or OFF), or - for standard "
                    "input");
            Require(!pack.output.empty(), "pack: name the KVX file to write with -o FILE.kvx");
            if (sfxOption->count() > 0) pack.sfxStub = sfx;
            pack.inputFormat = InputFormat(packFormat);
            return Pack(pack, common);
        }
        if (unpackCmd->parsed()) {
            Require(!unpack.input.empty(), "unpack: name the KVX file to unpack");
            Require(!unpack.folder.empty(),
                    "unpack: name the output folder with -o FOLDER (or -o - with --mesh NAME)");
            unpack.format = format == "ply"   ? kvx::meshio::Format::Ply
                            : format == "obj" ? kvx::meshio::Format::Obj
                                              : kvx::meshio::Format::Stl;
            unpack.stlColors = stlColors == "header" ? kvx::meshio::StlColors::Header
                                                     : kvx::meshio::StlColors::ValidBit;
            return Unpack(unpack, common);
        }
        if (infoCmd->parsed() || verifyCmd->parsed()) {
            common.json = json;
            Require(!inputs.empty(), infoCmd->parsed() ? "info: name at least one KVX file"
                                                       : "verify: name at least one KVX file");
            return infoCmd->parsed() ? Info(inputs, common) : Verify(inputs, common);
        }
        if (compareCmd->parsed()) {
            Require(compared.size() == 2, "compare: name two mesh or KVX files");
            return Compare(compared[0], compared[1], compareColors, InputFormat(compareFormat),
                           common);
        }
    } catch (const CliError& e) {
        ReportError(e.code(), e.what(), common.json);
        return e.code();
    } catch (const std::bad_alloc&) {
        ReportError(kExitFailure, "out of memory", common.json);
        return kExitFailure;
    } catch (const std::exception& e) {
        ReportError(kExitFailure, e.what(), common.json);
        return kExitFailure;
    }
    return kExitUsage;
}
