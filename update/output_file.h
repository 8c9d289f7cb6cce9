// A local file created for writing, written through a buffer.
#pragma once

#include "framework/failure.h"
#include "framework/handle.h"

#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

namespace zarn {

// A failure to create or write a local file, with the system error code and
// the call that failed.
class FileError : public zfw::Failure {
public:
    explicit FileError(const zfw::Origin& origin) : zfw::Failure(origin) {}
};

// Creates `path` for writing, replacing any file there, and collects small
// writes into large ones. Close writes what is pending and reports failure;
// an object dropped without Close (an error elsewhere) still writes what it
// holds, so the part received so far stays on disk.
class OutputFile {
public:
    // Throws FileError when the file cannot be created.
    explicit OutputFile(const std::wstring& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // Appends `size` bytes. Throws FileError when the disk refuses them.
    void Write(const void* data, size_t size);
    // Writes what is pending and closes the file. Throws FileError when the
    // pending bytes cannot be written.
    void Close();

private:
    void Flush();
    // Writes `size` bytes at the file's position; throws FileError.
    void WriteThrough(const BYTE* bytes, size_t size);

    zfw::unique_file file_;
    std::vector<BYTE> pending_;
};

}  // namespace zarn
