// Small-file access over C streams (whole-file reads, header probes, short writes) and
// the enumeration of a directory's entries with their attributes. Paths are UTF-8
// with '/'. Opening reports failure by its result, never by throwing.
#pragma once
#include "vnPlatform/Dir.h"
#include "vnUtils/Streams.h"
#include "vnUtils/XString.h"
#include <cstdint>
#include <cstdio>

namespace vorn {

// Opens a path with a C stdio mode ("rb", "wb" ...). The path's bytes are the name as
// the file system holds it (UTF-8 where it is; a name that is not is opened as it is).
// Null on failure: an empty path, a file that cannot be opened, or a directory (errno
// tells which).
FILE* OpenFileUtf8(const char* path, const char* mode);

// A seekable input stream that is also an output stream.
class IFile : public ISeekableInputStream, public IOutputStream {
public:
    virtual void Close() = 0;
    virtual bool IsWritable() = 0;
};

// A file over a C stream. Mode codes: -1 never opened, 1 opened for writing, 2 for
// appending, 3 for reading.
class File : public IFile {
public:
    enum : int32_t { kNeverOpened = -1, kModeWrite = 1, kModeAppend = 2, kModeRead = 3 };

    File() = default;
    // Closes the stream if it is open.
    ~File() override;
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Closes an open stream, resets the written count and opens path with "rb"; true
    // when it opened.
    bool OpenForReading(const xstring& path);
    // The same with "wb" (the file is created or truncated).
    bool OpenForWriting(const xstring& path);
    // The same with "ab".
    bool OpenForAppending(const xstring& path);

    // fread of up to n bytes; 0 at the end, on an error, or when the file is not open.
    ssize_t ReadStream(void* buffer, ssize_t n) override;
    // Opened for reading: the file's length now; otherwise the count of bytes written
    // through this object.
    int64_t GetLength() override;
    // ftell; -1 when the file is not open.
    int64_t GetPosition() override;
    // fseek from the start; nothing when the file is not open.
    void Seek(int64_t position) override;
    void Close() override;
    // True while open for writing or appending.
    bool IsWritable() override;

    // Writes the n bytes as one item; n < 1 writes nothing. A failed write (also one to
    // a file that is not open) throws VornException code 4 "Error writing data" in the
    // file-error category; a successful one adds n to the written count.
    void WriteStream(const void* data, ssize_t n) override;
    // fflush; nothing when the file is not open.
    void Flush() override;

    bool IsOpen() const { return m_file != nullptr; }
    // True when the last read met an error rather than the end of the file.
    bool HasReadError() const;
    const xstring& GetPath() const { return m_path; }
    int32_t GetMode() const { return m_mode; }
    FILE* GetFile() const { return m_file; }

private:
    bool Open(const xstring& path, int32_t mode, const char* fmode);

    FILE* m_file = nullptr;
    int32_t m_mode = kNeverOpened;
    xstring m_path;
    int64_t m_written = 0;
};

// Reads the whole file at path into out (capacity exactly its length). False when
// the file cannot be opened, is a directory, or a read fails; out is then untouched.
bool ReadFileIntoBytes(xvector<uint8_t>& out, const xstring& path);

// One directory entry, in the attribute bits and time scale of a Windows find record
// (see vnPlatform/Dir.h). Times count 100 ns since 1601-01-01 UTC.
class IFileOrDirInfo {
public:
    virtual bool IsArchive() const = 0;
    virtual bool IsCompressed() const = 0;
    virtual bool IsDirectory() const = 0;
    virtual bool IsEncrypted() const = 0;
    virtual bool IsHidden() const = 0;
    virtual bool IsOffline() const = 0;
    virtual bool IsReadOnly() const = 0;
    virtual bool IsSparse() const = 0;
    virtual bool IsSystem() const = 0;
    virtual uint64_t GetCreationTime() const = 0;
    virtual uint64_t GetLastAccessTime() const = 0;
    virtual uint64_t GetLastWriteTime() const = 0;
    virtual uint64_t GetSize() const = 0;
    virtual xstring GetName() const = 0;

protected:
    ~IFileOrDirInfo() = default;
};

class FileOrDirInfo : public IFileOrDirInfo {
public:
    // All zero except the attributes, which are 0x80 (normal).
    FileOrDirInfo() = default;

    bool IsArchive() const override { return Has(kFileAttrArchive); }
    bool IsCompressed() const override { return Has(kFileAttrCompressed); }
    bool IsDirectory() const override { return Has(kFileAttrDirectory); }
    bool IsEncrypted() const override { return Has(kFileAttrEncrypted); }
    bool IsHidden() const override { return Has(kFileAttrHidden); }
    bool IsOffline() const override { return Has(kFileAttrOffline); }
    bool IsReadOnly() const override { return Has(kFileAttrReadOnly); }
    bool IsSparse() const override { return Has(kFileAttrSparse); }
    bool IsSystem() const override { return Has(kFileAttrSystem); }
    uint64_t GetCreationTime() const override { return m_record.creationTime; }
    uint64_t GetLastAccessTime() const override { return m_record.lastAccessTime; }
    uint64_t GetLastWriteTime() const override { return m_record.lastWriteTime; }
    uint64_t GetSize() const override { return uint64_t(m_record.sizeHigh) << 32 | m_record.sizeLow; }
    xstring GetName() const override { return xstring(m_record.name); }

    // The name without a copy.
    const char* GetNameZ() const { return m_record.name; }
    uint32_t GetAttributes() const { return m_record.attributes; }
    DirEntryRecord& Record() { return m_record; }
    const DirEntryRecord& Record() const { return m_record; }

    // The record of the entry at path (a final symbolic link is not followed).
    bool Query(const xstring& path);

private:
    bool Has(uint32_t bit) const { return (m_record.attributes & bit) != 0; }

    DirEntryRecord m_record;
};

// Enumerates a directory: Start, then Next until false, reading Current after each
// true. Entries come sorted by name with "." and ".." first, their names the bytes the
// file system gives; a pattern that matches nothing or a directory that cannot be read
// gives an empty enumeration, and GetError tells which.
class DirSearch {
public:
    DirSearch() = default;
    ~DirSearch() { Close(); }
    DirSearch(const DirSearch&) = delete;
    DirSearch& operator=(const DirSearch&) = delete;

    // pattern: a directory path, '/', and a wildcard name ("photos/*", "a/*.jpg").
    // Closes a search that is open, then reads the first entry.
    void Start(const xstring& pattern);
    // True when Current holds the next entry; false at the end (and from then on).
    bool Next();
    void Close();

    const FileOrDirInfo& Current() const { return m_current; }
    bool IsOpen() const { return m_handle != nullptr; }
    // The system's error (errno) when the last Start could not read the directory; 0
    // when it could.
    int32_t GetError() const { return m_error; }

private:
    FileOrDirInfo m_current;
    int32_t m_error = 0;
    bool m_firstPending = false;
    DirListing* m_handle = nullptr;
};

} // namespace vorn
