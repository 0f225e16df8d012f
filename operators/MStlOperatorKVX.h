// The two operators a host uses to read and write KVX files.
//
// Import: SetFileName (and SetPassword, SetColorsNeeded, ImportTriangleColor), Operate, then take
// the meshes with GetNextOutputStl or GetOutputStlAt, and the colours and data blocks.
// Export: SetFileName, AddStl for each mesh (and AddDataBlock, SetPassword, ExportTriangleColor,
// SetSelfExtractingPath), then Operate.
//
// One operator may run at a time in a process, and an operator is used from one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "maker/Color.h"
#include "maker/KvxExport.h"
#include "maker/MStlBase.h"

class KVX_API MStlOperatorKVXImport {
public:
    enum EImportResults {
        ImportFailed = 0,
        ImportOk = 1,
        ImportNotRun = 2,
        ImportBadMagic = 3,
        ImportWrongPassword = 4,
        ImportCannotOpen = 5,
        ImportNoFileName = 6,
        ImportNoOutput = 7,
        ImportNoMoreMeshes = 8,
        ImportBadIndex = 9,
        ImportDecompressFailed = 10,
        ImportTempFileFailed = 11,
        // Reading the file would take more memory than its size allows (docs/format.md,
        // "Memory budget"): it claims far more content than it holds.
        ImportMemoryBudgetExceeded = 12,
    };

    MStlOperatorKVXImport();
    ~MStlOperatorKVXImport();
    // Copies the settings (file name, password, colour flags) of `other`, never its output: each
    // importer owns its own temporary file. The copy is not run; Operate reads the file again.
    MStlOperatorKVXImport(const MStlOperatorKVXImport& other);
    MStlOperatorKVXImport& operator=(const MStlOperatorKVXImport& other);

    void SetFileName(std::wstring fileName);
    void SetPassword(std::wstring password);
    void SetColorsNeeded(bool needed);
    void ImportTriangleColor(bool import);

    // Reads the file. True exactly when the result is ImportOk.
    bool Operate();
    EImportResults GetImportResults() const;
    unsigned long GetNumberOfOutputStls() const;
    // Moves the next mesh into `mesh` (replacing its content) and names it.
    bool GetNextOutputStl(MStlBase* mesh);
    bool GetOutputStlAt(MStlBase* mesh, unsigned long index);
    bool GetIsCompleted() const;
    std::wstring GetStlNameAt(unsigned long index);
    unsigned long GetNumberOfOutputColors() const;
    // Throws std::out_of_range for an index not below GetNumberOfOutputColors().
    Orvex::Common::Color GetOutputColorAt(unsigned long index) const;
    // The data blocks an exporter stored, in order: the colour arrays that are not a mesh's
    // triangle colours, whether or not ImportTriangleColor applies those colours.
    std::uint64_t GetNumberOfDataBlocks() const;
    // Block `index`; an empty block for an index not below GetNumberOfDataBlocks().
    std::vector<unsigned short> GetDataBlock(std::uint64_t index);

private:
    struct State;
    State* state_;
};

class KVX_API MStlOperatorKVXExport {
public:
    enum ExportResults {
        ExportOk = 1,
        ExportNoFileName = 3,
        ExportNoMeshes = 4,
        ExportSelfExtractingFailed = 5,
        ExportFileFailed = 6,  // the target or the temporary file could not be written
        ExportWriteFailed = 7,
        // Reading the file back would take more memory than its size allows, so it is not
        // written (docs/format.md, "Memory budget").
        ExportMemoryBudgetExceeded = 8,
    };

    MStlOperatorKVXExport();
    ~MStlOperatorKVXExport();

    void SetFileName(const std::wstring& fileName);
    void SetPassword(const std::wstring& password);
    void SetSelfExtractingPath(const std::wstring& stubPath);
    void ExportTriangleColor(bool exportColors);
    // The mesh is not copied: it must stay valid until Operate has returned.
    void AddStl(MStlBase* mesh, const std::wstring& name);
    void AddDataBlock(const std::vector<unsigned short>& block);
    // With true, the file's object ids follow from what it holds (the meshes with their points,
    // triangles, colours and names, the data blocks, the password and the colour choice)
    // instead of from this process: the same content written twice gives the same bytes. Ids of
    // files with different content still differ (they come from a 64-bit digest of it). A mesh
    // that already has an id keeps it either way. Off by default.
    void SetReproducible(bool reproducible);

    // Writes the file (its extension replaced by ".kvx"), or the self-extracting package (".exe")
    // when a stub is set. A result is stored only on failure.
    bool Operate();
    ExportResults GetExportResults();

private:
    std::wstring fileName_;
    std::wstring password_;
    std::wstring selfExtractingPath_;
    std::vector<std::pair<MStlBase*, std::wstring>> meshes_;
    ExportResults result_ = ExportOk;
    bool exportTriangleColor_ = false;
    std::vector<std::vector<unsigned short>> dataBlocks_;
    bool reproducible_ = false;
};
