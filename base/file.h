// File access: CFile (an open file) and CFileFind (a directory search) reach storage through a
// file-system operation table chosen by path prefix; paths without a registered prefix use the
// local table over the platform's standard file functions.
// A CFile or CFileFind belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A directory search as the tables see it; -1 means none.
using FindHandle = intptr_t;

struct FindEntry {
    enum { kNormal = 0, kReadOnly = 0x01, kHidden = 0x02, kDirectory = 0x10 };
    // In: the directory part of the pattern. Out: the entry's file name.
    char name[108];
    uint32_t attrib;
    int64_t time;  // modification time, seconds
    int64_t size;  // bytes
};

struct FileSystemOps {
    void* (*open)(const char* path, const char* mode);
    int (*close)(void* handle);
    size_t (*read)(void* buffer, size_t size, size_t count, void* handle);
    size_t (*write)(const void* buffer, size_t size, size_t count, void* handle);
    int (*flush)(void* handle);
    int (*seek)(void* handle, long offset, int origin);
    long (*tell)(void* handle);
    char* (*gets)(char* buffer, int size, void* handle);
    int (*puts)(const char* str, void* handle);
    int (*access)(const char* path, int mode);
    int (*rename)(const char* oldPath, const char* newPath);
    int (*remove)(const char* path);
    FindHandle (*findFirst)(const char* pattern, FindEntry* entry);
    int (*findNext)(FindHandle handle, FindEntry* entry);
    int (*findClose)(FindHandle handle);
    int (*mkdir)(const char* path);
    int (*rmdir)(const char* path);
    int (*statfs)(const char* path, uint64_t* availBytes, uint64_t* totalBytes, uint64_t* freeBytes);
};

// Where the local table finds `path` on this host: chip paths ("/data/Fonts/...") sit under
// $VARNELLE_ROOT when that is set. The one mapping of chip paths: every operation of the local table goes
// through it, and so does any code that must hand a chip path to another library (the font renderers).
std::string LocalFilePath(const char* path);

class CFile {
public:
    // Open flags: the low four bits are the access mode.
    enum {
        modeRead = 0,
        modeWrite = 1,
        modeReadWrite = 2,
        modeCreate = 0x1000,      // create the file, emptying it unless modeNoTruncate
        modeNoTruncate = 0x2000,  // keep the contents; writes append (mode 1, or mode 2 with modeCreate)
    };
    static constexpr size_t kMaxPath = 259;
    static constexpr size_t kMaxPrefix = 31;
    static constexpr int kMaxFileSystems = 32;  // slot 0 is the local table

    CFile();
    virtual ~CFile();
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Closes a file already open first. False for a path longer than kMaxPath or a failed open.
    virtual bool Open(const char* path, uint32_t flags = modeRead);
    virtual void Close();
    virtual uint32_t Read(void* buffer, uint32_t n);
    virtual uint32_t Write(const void* buffer, uint32_t n);
    virtual void Flush();
    // origin 1: from the current position, 2: from the end, else from the start. The new position,
    // 0 when closed or when the seek fails.
    virtual uint32_t Seek(int64_t offset, int origin);
    virtual uint32_t GetPosition();
    // The loaded buffer's length, else the open file's length (its position is kept).
    virtual uint32_t GetLength();
    virtual char* Gets(char* buffer, int size);
    virtual int Puts(const char* str);
    virtual bool IsOpen();
    virtual const char* GetFileName();

    // Reads the whole file into a buffer that this object keeps; null when the file cannot be opened,
    // is empty, or cannot be read whole. Must not be called while a buffer is loaded.
    unsigned char* Load(const char* path);
    void UnLoad();

    static bool Rename(const char* oldPath, const char* newPath);
    static bool Remove(const char* path);
    static bool MakeDir(const char* path);
    static bool RemoveDir(const char* path);
    static bool Access(const char* path, int mode);
    // Available, total and free bytes of the file system holding path.
    static bool StatFS(const char* path, uint64_t* avail, uint64_t* total, uint64_t* free);

    // With a table: puts prefix and a copy of the table into the first free slot (false when the
    // prefix is empty or too long, or every slot is taken). Without: frees the prefix's slot.
    // Must not run while other threads open files.
    static bool RegisterFileSystem(const char* prefix, const FileSystemOps* ops);
    static const FileSystemOps* GetFileSystem(const char* path);

private:
    void* m_hFile = nullptr;
    char m_szPath[kMaxPath + 1] = {};
    unsigned char* m_pBuffer = nullptr;
    uint32_t m_dwLength = 0;
    const FileSystemOps* m_pOps;
};

class CFileFind {
public:
    CFileFind();
    virtual ~CFileFind();
    CFileFind(const CFileFind&) = delete;
    CFileFind& operator=(const CFileFind&) = delete;

    // pattern: a directory, "/" and a wildcard ("dir/*"). Ends a search already open first. False
    // when nothing matches.
    virtual bool FindFile(const char* pattern);
    // False after the last entry.
    virtual bool FindNextFile();
    virtual void Close();
    virtual int64_t GetLength();
    virtual std::string GetFileName();
    virtual std::string GetFilePath();
    virtual bool IsReadOnly();
    virtual bool IsDirectory();
    virtual bool IsHidden();
    virtual bool IsNormal();

private:
    FindHandle m_hFind = -1;
    FindEntry m_entry{};
    const FileSystemOps* m_pOps;
    std::string m_strDir;
};
