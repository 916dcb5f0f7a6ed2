#include "base/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "base/internal/check.h"
#include "platform/host/env.h"

namespace {

constexpr size_t kMaxPattern = 127;

// Copies at most size - 1 bytes of src and terminates.
void CopyTruncated(char* dst, size_t size, const char* src) {
    size_t n = strnlen(src, size - 1);
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// Every path the local table is given is a chip path: it goes through LocalFilePath here and only here.
void* LocalOpen(const char* path, const char* mode) {
    return std::fopen(LocalFilePath(path).c_str(), mode);
}
int LocalClose(void* h) {
    return std::fclose(static_cast<FILE*>(h));
}
size_t LocalRead(void* b, size_t s, size_t c, void* h) {
    return std::fread(b, s, c, static_cast<FILE*>(h));
}
size_t LocalWrite(const void* b, size_t s, size_t c, void* h) {
    return std::fwrite(b, s, c, static_cast<FILE*>(h));
}
int LocalFlush(void* h) {
    return std::fflush(static_cast<FILE*>(h));
}
int LocalSeek(void* h, long offset, int origin) {
    return std::fseek(static_cast<FILE*>(h), offset, origin);
}
long LocalTell(void* h) {
    return std::ftell(static_cast<FILE*>(h));
}
char* LocalGets(char* b, int size, void* h) {
    return std::fgets(b, size, static_cast<FILE*>(h));
}
int LocalPuts(const char* s, void* h) {
    return std::fputs(s, static_cast<FILE*>(h));
}
int LocalAccess(const char* path, int mode) {
    return ::access(LocalFilePath(path).c_str(), mode);
}
int LocalRename(const char* o, const char* n) {
    return std::rename(LocalFilePath(o).c_str(), LocalFilePath(n).c_str());
}
int LocalRemove(const char* path) {
    return std::remove(LocalFilePath(path).c_str());
}
int LocalMkdir(const char* path) {
    return ::mkdir(LocalFilePath(path).c_str(), 0777);
}
int LocalRmdir(const char* path) {
    return ::rmdir(LocalFilePath(path).c_str());
}

int LocalFindNext(FindHandle handle, FindEntry* entry) {
    if (handle == -1 || handle == 0) return -1;
    dirent* de = readdir(reinterpret_cast<DIR*>(handle));
    if (de == nullptr) return -1;
    std::string path = entry->name[0] != '\0' ? std::string(entry->name) + "/" + de->d_name : de->d_name;
    CopyTruncated(entry->name, sizeof entry->name, de->d_name);
    entry->attrib = FindEntry::kNormal;
    entry->size = 0;
    entry->time = 0;
    struct stat st;
    // An entry that vanished or cannot be read is still listed, with no size, time or attributes.
    if (::stat(LocalFilePath(path.c_str()).c_str(), &st) == 0) {
        entry->size = st.st_size;
        entry->time = st.st_mtime;
        if (S_ISDIR(st.st_mode)) entry->attrib |= FindEntry::kDirectory;
        if ((st.st_mode & S_IWUSR) == 0) entry->attrib |= FindEntry::kReadOnly;
    }
    return 0;
}

FindHandle LocalFindFirst(const char* pattern, FindEntry* entry) {
    size_t len = std::strlen(pattern);
    if (len > kMaxPattern) return -1;
    char dir[kMaxPattern + 1];
    std::memcpy(dir, pattern, len + 1);
    if (len > 0 && dir[len - 1] == '*') dir[--len] = '\0';
    DIR* d = opendir(len == 0 ? "." : LocalFilePath(dir).c_str());
    if (d == nullptr) return -1;
    auto handle = reinterpret_cast<FindHandle>(d);
    if (LocalFindNext(handle, entry) != 0) {
        closedir(d);
        return -1;
    }
    return handle;
}

int LocalFindClose(FindHandle handle) {
    if (handle == -1 || handle == 0) return -1;
    return closedir(reinterpret_cast<DIR*>(handle));
}

int LocalStatfs(const char* path, uint64_t* avail, uint64_t* total, uint64_t* free) {
    struct statfs fs;
    if (::statfs(LocalFilePath(path).c_str(), &fs) != 0) return -1;
    const auto bsize = static_cast<uint64_t>(fs.f_bsize);
    if (avail != nullptr) *avail = bsize * fs.f_bavail;
    if (total != nullptr) *total = bsize * fs.f_blocks;
    if (free != nullptr) *free = bsize * fs.f_bfree;
    return 0;
}

const FileSystemOps kLocalOps = {
    LocalOpen,      LocalClose,    LocalRead,      LocalWrite,  LocalFlush,  LocalSeek,
    LocalTell,      LocalGets,     LocalPuts,      LocalAccess, LocalRename, LocalRemove,
    LocalFindFirst, LocalFindNext, LocalFindClose, LocalMkdir,  LocalRmdir,  LocalStatfs,
};

struct Slot {
    char prefix[CFile::kMaxPrefix + 1];
    FileSystemOps ops;
};

struct Registry {
    std::mutex mutex;
    Slot slots[CFile::kMaxFileSystems] = {};  // guarded by mutex; slot 0 is unused
};

Registry& GetRegistry() {
    static auto* registry = new Registry;
    return *registry;
}

const char* ModeString(uint32_t flags) {
    switch (flags & 15) {
        case CFile::modeRead:
            return "rb";
        case CFile::modeWrite:
            return (flags & CFile::modeNoTruncate) ? "ab" : "wb";
        case CFile::modeReadWrite:
            if (flags & CFile::modeCreate) return (flags & CFile::modeNoTruncate) ? "ab+" : "wb+";
            return "rb+";
        default:
            return "";
    }
}

}  // namespace

std::string LocalFilePath(const char* path) {
    return path != nullptr ? varnelle::host::ChipPath(path) : std::string();
}

CFile::CFile() : m_pOps(&kLocalOps) {}

CFile::~CFile() {
    Close();
    UnLoad();
}

bool CFile::Open(const char* path, uint32_t flags) {
    Close();
    if (path == nullptr || std::strlen(path) > kMaxPath) return false;
    CopyTruncated(m_szPath, sizeof m_szPath, path);
    if (m_pBuffer == nullptr) m_dwLength = 0;
    m_pOps = GetFileSystem(path);
    const char* mode = ModeString(flags);
    if (*mode == '\0') return false;
    if (m_pOps != &kLocalOps) {
        m_hFile = m_pOps->open(path, mode);
        return m_hFile != nullptr;
    }
    const uint32_t access = flags & 15;
    int oflags = access == modeRead ? O_RDONLY : (access == modeWrite ? O_WRONLY : O_RDWR);
    if (flags & modeCreate) {
        oflags |= O_CREAT;
        // Never empty a file opened only for reading.
        if (!(flags & modeNoTruncate) && access != modeRead) oflags |= O_TRUNC;
    }
    int fd = ::open(LocalFilePath(path).c_str(), oflags, 0666);
    if (fd == -1) return false;
    m_hFile = fdopen(fd, mode);
    if (m_hFile == nullptr) {
        ::close(fd);
        return false;
    }
    return true;
}

void CFile::Close() {
    if (m_hFile == nullptr) return;
    m_pOps->close(m_hFile);
    m_hFile = nullptr;
}

uint32_t CFile::Read(void* buffer, uint32_t n) {
    if (m_hFile == nullptr || buffer == nullptr) return 0;
    return static_cast<uint32_t>(m_pOps->read(buffer, 1, n, m_hFile));
}

uint32_t CFile::Write(const void* buffer, uint32_t n) {
    if (m_hFile == nullptr || buffer == nullptr) return 0;
    return static_cast<uint32_t>(m_pOps->write(buffer, 1, n, m_hFile));
}

void CFile::Flush() {
    if (m_hFile != nullptr) m_pOps->flush(m_hFile);
}

uint32_t CFile::Seek(int64_t offset, int origin) {
    if (m_hFile == nullptr) return 0;
    int whence = origin == 1 ? SEEK_CUR : (origin == 2 ? SEEK_END : SEEK_SET);
    if (m_pOps->seek(m_hFile, static_cast<long>(offset), whence) != 0) return 0;
    return GetPosition();
}

uint32_t CFile::GetPosition() {
    if (m_hFile == nullptr) return 0;
    long pos = m_pOps->tell(m_hFile);
    // A position past 32 bits has no true answer here: 0, as for a failure.
    return pos < 0 || static_cast<unsigned long>(pos) > UINT32_MAX ? 0 : static_cast<uint32_t>(pos);
}

uint32_t CFile::GetLength() {
    if (m_pBuffer != nullptr || m_hFile == nullptr) return m_dwLength;
    long pos = m_pOps->tell(m_hFile);
    if (m_pOps->seek(m_hFile, 0, SEEK_END) == 0) {
        long end = m_pOps->tell(m_hFile);
        // An emptied file reports 0, not the length seen before; a file too long for the 32-bit
        // length reports 0 too rather than its length modulo 4 GiB.
        if (end >= 0 && static_cast<unsigned long>(end) > UINT32_MAX) {
            std::printf("CFile::GetLength %s: %ld bytes do not fit 32 bits\n", m_szPath, end);
            m_dwLength = 0;
        } else if (end >= 0) {
            m_dwLength = static_cast<uint32_t>(end);
        }
    }
    if (pos >= 0) m_pOps->seek(m_hFile, pos, SEEK_SET);
    return m_dwLength;
}

char* CFile::Gets(char* buffer, int size) {
    if (m_hFile == nullptr || buffer == nullptr || size <= 0) return nullptr;
    return m_pOps->gets(buffer, size, m_hFile);
}

int CFile::Puts(const char* str) {
    if (m_hFile == nullptr || str == nullptr) return 0;
    return m_pOps->puts(str, m_hFile);
}

bool CFile::IsOpen() {
    return m_hFile != nullptr;
}

const char* CFile::GetFileName() {
    return m_szPath;
}

unsigned char* CFile::Load(const char* path) {
    VARNELLE_CHECK(!m_pBuffer, "Source/File");
    if (!Open(path, modeRead)) return nullptr;
    uint32_t length = GetLength();
    if (length != 0) {
        auto* buffer = new (std::nothrow) unsigned char[length];
        if (buffer != nullptr) {
            Seek(0, 0);
            uint32_t got = Read(buffer, length);
            if (got == length) {
                m_pBuffer = buffer;
            } else {
                std::printf("CFile::Load %s: read %u of %u bytes\n", m_szPath, got, length);
                delete[] buffer;
            }
        }
    }
    Close();
    return m_pBuffer;
}

void CFile::UnLoad() {
    delete[] m_pBuffer;
    m_pBuffer = nullptr;
}

bool CFile::Rename(const char* oldPath, const char* newPath) {
    if (oldPath == nullptr || newPath == nullptr) return false;
    return GetFileSystem(oldPath)->rename(oldPath, newPath) == 0;
}

bool CFile::Remove(const char* path) {
    return path != nullptr && GetFileSystem(path)->remove(path) == 0;
}
bool CFile::MakeDir(const char* path) {
    return path != nullptr && GetFileSystem(path)->mkdir(path) == 0;
}
bool CFile::RemoveDir(const char* path) {
    return path != nullptr && GetFileSystem(path)->rmdir(path) == 0;
}

bool CFile::Access(const char* path, int mode) {
    return path != nullptr && GetFileSystem(path)->access(path, mode) == 0;
}

bool CFile::StatFS(const char* path, uint64_t* avail, uint64_t* total, uint64_t* free) {
    return path != nullptr && GetFileSystem(path)->statfs(path, avail, total, free) == 0;
}

bool CFile::RegisterFileSystem(const char* prefix, const FileSystemOps* ops) {
    if (prefix == nullptr || *prefix == '\0' || std::strlen(prefix) > kMaxPrefix) return false;
    Registry& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (int i = 1; i < kMaxFileSystems; ++i) {
        Slot& slot = reg.slots[i];
        if (ops != nullptr && slot.prefix[0] == '\0') {
            CopyTruncated(slot.prefix, sizeof slot.prefix, prefix);
            slot.ops = *ops;
            return true;
        }
        if (ops == nullptr && std::strcmp(slot.prefix, prefix) == 0) {
            // The table copy stays, so a file still open through it keeps working.
            slot.prefix[0] = '\0';
            return true;
        }
    }
    return false;
}

const FileSystemOps* CFile::GetFileSystem(const char* path) {
    if (path == nullptr) return &kLocalOps;
    Registry& reg = GetRegistry();
    std::lock_guard<std::mutex> lock(reg.mutex);
    for (int i = 1; i < kMaxFileSystems; ++i) {
        const Slot& slot = reg.slots[i];
        size_t n = std::strlen(slot.prefix);
        if (n != 0 && std::strncmp(path, slot.prefix, n) == 0) return &slot.ops;
    }
    return &kLocalOps;
}

CFileFind::CFileFind() : m_pOps(&kLocalOps) {}

CFileFind::~CFileFind() {
    Close();
}

bool CFileFind::FindFile(const char* pattern) {
    Close();
    if (pattern == nullptr) return false;
    const char* slash = std::strrchr(pattern, '/');
    m_strDir =
        slash != nullptr ? std::string(pattern, static_cast<size_t>(slash - pattern + 1)) : std::string();
    if (m_strDir.size() >= sizeof m_entry.name) return false;
    m_pOps = CFile::GetFileSystem(pattern);
    CopyTruncated(m_entry.name, sizeof m_entry.name, m_strDir.c_str());
    m_hFind = m_pOps->findFirst(pattern, &m_entry);
    return m_hFind != -1;
}

bool CFileFind::FindNextFile() {
    if (m_hFind == -1) return false;
    CopyTruncated(m_entry.name, sizeof m_entry.name, m_strDir.c_str());
    return m_pOps->findNext(m_hFind, &m_entry) != -1;
}

void CFileFind::Close() {
    if (m_hFind == -1) return;
    m_pOps->findClose(m_hFind);
    m_hFind = -1;
}

int64_t CFileFind::GetLength() {
    return m_entry.size;
}
std::string CFileFind::GetFileName() {
    return m_entry.name;
}
std::string CFileFind::GetFilePath() {
    return m_strDir + m_entry.name;
}
bool CFileFind::IsReadOnly() {
    return (m_entry.attrib & FindEntry::kReadOnly) != 0;
}
bool CFileFind::IsDirectory() {
    return (m_entry.attrib & FindEntry::kDirectory) != 0;
}
bool CFileFind::IsHidden() {
    return (m_entry.attrib & FindEntry::kHidden) != 0;
}
bool CFileFind::IsNormal() {
    return m_entry.attrib == FindEntry::kNormal;
}
