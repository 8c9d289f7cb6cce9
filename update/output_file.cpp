#include "update/output_file.h"

#include <algorithm>

namespace zarn {

namespace {

// Writes reach the disk in blocks of this size.
constexpr size_t kBufferBytes = 64 * 1024;

}  // namespace

OutputFile::OutputFile(const std::wstring& path)
    : file_(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr)) {
    ZFW_THROW_LAST_ERROR_IF(FileError, !file_, "CreateFile");
    pending_.reserve(kBufferBytes);
}

OutputFile::~OutputFile() {
    if (!file_ || pending_.empty()) return;
    try {
        Flush();
    } catch (const FileError&) {
        // Already failing: the caller reports the first error, not this one.
    }
}

void OutputFile::Write(const void* data, size_t size) {
    const BYTE* bytes = static_cast<const BYTE*>(data);
    // A large write goes to the disk as it is, after what was pending:
    // copying it into the buffer would cost more than one short write.
    if (size >= kBufferBytes / 2) {
        if (!pending_.empty()) Flush();
        WriteThrough(bytes, size);
        return;
    }
    // Small ones gather into blocks.
    while (size > 0) {
        const size_t n = std::min(size, kBufferBytes - pending_.size());
        pending_.insert(pending_.end(), bytes, bytes + n);
        bytes += n;
        size -= n;
        if (pending_.size() == kBufferBytes) Flush();
    }
}

void OutputFile::Flush() {
    // What failed to reach the disk is dropped either way: the caller
    // reports the first error.
    try {
        WriteThrough(pending_.data(), pending_.size());
    } catch (const FileError&) {
        pending_.clear();
        throw;
    }
    pending_.clear();
}

void OutputFile::WriteThrough(const BYTE* bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        DWORD written = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(size - done, 0x40000000));
        if (!::WriteFile(file_.get(), bytes + done, ask, &written, nullptr) || written == 0) {
            const DWORD error = ::GetLastError();
            ZFW_THROW_WIN32(FileError, error ? error : ERROR_WRITE_FAULT, "WriteFile");
        }
        done += written;
    }
}

void OutputFile::Close() {
    Flush();
    file_.reset();
}

}  // namespace zarn
