#include "journal/faultvfs.h"

#include "server/faultpoint.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What a write or truncation since the file's last sync replaced: a power cut puts these back,
// newest first, which leaves every file as it was at its last sync.
struct Undo
{
    std::string path;
    sqlite3_int64 offset;
    std::string before; // the bytes that were there, up to the file's old end
    sqlite3_int64 size; // the file's size before
};
std::vector<Undo> undoLog;

struct ShimFile
{
    sqlite3_file base;
    sqlite3_file *real;
    std::string path;
};

sqlite3_vfs shimVfs;
sqlite3_vfs *realVfs = nullptr;

sqlite3_file *real(sqlite3_file *file)
{
    return reinterpret_cast<ShimFile *>(file)->real;
}

sqlite3_int64 sizeOf(const std::string &path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? sqlite3_int64(status.st_size) : 0;
}

// Keeps the bytes in [offset, end) that exist now, and the size.
void remember(const std::string &path, sqlite3_int64 offset, sqlite3_int64 end)
{
    if (!FaultPoint::simulatesPowerCut())
        return;
    Undo undo{path, offset, std::string(), sizeOf(path)};
    const sqlite3_int64 kept = std::min(end, undo.size) - offset;
    if (kept > 0) {
        undo.before.resize(size_t(kept));
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const ssize_t read = ::pread(fd, undo.before.data(), size_t(kept), offset);
            undo.before.resize(read > 0 ? size_t(read) : 0);
            ::close(fd);
        }
    }
    undoLog.push_back(std::move(undo));
}

void undoUnsynced()
{
    for (auto undo = undoLog.rbegin(); undo != undoLog.rend(); ++undo) {
        const int fd = ::open(undo->path.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        if (!undo->before.empty() &&
            ::pwrite(fd, undo->before.data(), undo->before.size(), undo->offset) < 0) {
            // Nothing better to do in a process about to die.
        }
        if (::ftruncate(fd, undo->size) != 0) {
        }
        ::close(fd);
    }
}

int shimClose(sqlite3_file *file)
{
    auto *shim = reinterpret_cast<ShimFile *>(file);
    const int result = shim->real->pMethods ? shim->real->pMethods->xClose(shim->real) : SQLITE_OK;
    shim->path.~basic_string();
    return result;
}

int shimRead(sqlite3_file *file, void *buffer, int amount, sqlite3_int64 offset)
{
    return real(file)->pMethods->xRead(real(file), buffer, amount, offset);
}

int shimWrite(sqlite3_file *file, const void *buffer, int amount, sqlite3_int64 offset)
{
    FaultPoint::reached();
    remember(reinterpret_cast<ShimFile *>(file)->path, offset, offset + amount);
    return real(file)->pMethods->xWrite(real(file), buffer, amount, offset);
}

int shimTruncate(sqlite3_file *file, sqlite3_int64 size)
{
    FaultPoint::reached();
    const std::string &path = reinterpret_cast<ShimFile *>(file)->path;
    remember(path, size, sizeOf(path));
    return real(file)->pMethods->xTruncate(real(file), size);
}

int shimSync(sqlite3_file *file, int flags)
{
    FaultPoint::reached();
    const int result = real(file)->pMethods->xSync(real(file), flags);
    if (result == SQLITE_OK) {
        const std::string &path = reinterpret_cast<ShimFile *>(file)->path;
        undoLog.erase(std::remove_if(undoLog.begin(), undoLog.end(),
                                     [&path](const Undo &undo) { return undo.path == path; }),
                      undoLog.end());
    }
    return result;
}

int shimFileSize(sqlite3_file *file, sqlite3_int64 *size)
{
    return real(file)->pMethods->xFileSize(real(file), size);
}

int shimLock(sqlite3_file *file, int lock)
{
    return real(file)->pMethods->xLock(real(file), lock);
}

int shimUnlock(sqlite3_file *file, int lock)
{
    return real(file)->pMethods->xUnlock(real(file), lock);
}

int shimCheckReservedLock(sqlite3_file *file, int *out)
{
    return real(file)->pMethods->xCheckReservedLock(real(file), out);
}

int shimFileControl(sqlite3_file *file, int op, void *arg)
{
    return real(file)->pMethods->xFileControl(real(file), op, arg);
}

int shimSectorSize(sqlite3_file *file)
{
    return real(file)->pMethods->xSectorSize(real(file));
}

int shimDeviceCharacteristics(sqlite3_file *file)
{
    return real(file)->pMethods->xDeviceCharacteristics(real(file));
}

int shimShmMap(sqlite3_file *file, int page, int size, int extend, void volatile **out)
{
    return real(file)->pMethods->xShmMap(real(file), page, size, extend, out);
}

int shimShmLock(sqlite3_file *file, int offset, int n, int flags)
{
    return real(file)->pMethods->xShmLock(real(file), offset, n, flags);
}

void shimShmBarrier(sqlite3_file *file)
{
    real(file)->pMethods->xShmBarrier(real(file));
}

int shimShmUnmap(sqlite3_file *file, int deleteFlag)
{
    return real(file)->pMethods->xShmUnmap(real(file), deleteFlag);
}

// Version 2: shared memory for the WAL's index, but no memory-mapped reads, which would
// bypass nothing here but are not needed either.
const sqlite3_io_methods shimMethods = {
    2,
    shimClose,
    shimRead,
    shimWrite,
    shimTruncate,
    shimSync,
    shimFileSize,
    shimLock,
    shimUnlock,
    shimCheckReservedLock,
    shimFileControl,
    shimSectorSize,
    shimDeviceCharacteristics,
    shimShmMap,
    shimShmLock,
    shimShmBarrier,
    shimShmUnmap,
    nullptr,
    nullptr,
};

int shimOpen(sqlite3_vfs *, const char *name, sqlite3_file *file, int flags, int *outFlags)
{
    auto *shim = reinterpret_cast<ShimFile *>(file);
    shim->base.pMethods = nullptr;
    shim->real = reinterpret_cast<sqlite3_file *>(shim + 1);
    const int result = realVfs->xOpen(realVfs, name, shim->real, flags, outFlags);
    if (result != SQLITE_OK)
        return result;
    new (&shim->path) std::string(name ? name : "");
    shim->base.pMethods = &shimMethods;
    return SQLITE_OK;
}

} // namespace

void FaultVfs::installIfArmed()
{
    static bool installed = false;
    if (installed || !FaultPoint::isArmed())
        return;
    installed = true;
    realVfs = sqlite3_vfs_find(nullptr);
    shimVfs = *realVfs;
    shimVfs.zName = "celvane-fault";
    shimVfs.szOsFile = int(sizeof(ShimFile)) + realVfs->szOsFile;
    shimVfs.xOpen = shimOpen;
    shimVfs.pAppData = nullptr;
    sqlite3_vfs_register(&shimVfs, 1);
    FaultPoint::setPowerCutUndo(undoUnsynced);
}
