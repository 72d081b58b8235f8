// The test helpers on Windows (cross-built, run under Wine). Temporary directories, captured

#include "locator/registry_locator.h"
// streams and environment changes work as on POSIX. A pty peer does not exist here: tests
// that need one fail at once with PtyPeer::kUnavailable in their message, which the Wine
// runner (tests/wine/run-gtest.py) counts as skipped; they run on Linux.
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_support.h"

// Jobs that tests run without a host find their modem's port as a host's jobs do.
const bool g_locatorInstalled = (locator_Install(), true);

namespace testsupport {

namespace {

const char kNoPty[] = "needs a pseudo-terminal peer: Linux only";

void removeTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}

std::string uniqueTempName(const char* prefix) {
    char base[MAX_PATH];
    DWORD n = GetTempPathA(sizeof base, base);
    if (n == 0 || n >= sizeof base) throw std::runtime_error("no temp directory");
    char name[MAX_PATH];
    // Creates an empty file of a unique name, which the caller replaces.
    if (GetTempFileNameA(base, prefix, 0, name) == 0) throw std::runtime_error("no temp name");
    return name;
}

}  // namespace

TempDir::TempDir() {
    std::string name = uniqueTempName("mft");
    DeleteFileA(name.c_str());
    if (!CreateDirectoryA(name.c_str(), nullptr)) throw std::runtime_error("cannot make temp dir");
    path_ = name;
}

TempDir::~TempDir() {
    removeTree(path_);
}

void TempDir::write(const std::string& name, const std::string& contents) const {
    std::ofstream out(file(name), std::ios::binary);
    out << contents;
}

CapturedStream::CapturedStream(int fd) : fd_(fd) {
    fflush(stdout);
    fflush(stderr);
    path_ = uniqueTempName("mfc");
    int file = _open(path_.c_str(), _O_WRONLY | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (file < 0) throw std::runtime_error("cannot open capture file");
    saved_ = _dup(fd_);
    _dup2(file, fd_);
    _close(file);
}

CapturedStream::~CapturedStream() {
    fflush(stdout);
    fflush(stderr);
    _dup2(saved_, fd_);
    _close(saved_);
    DeleteFileA(path_.c_str());
}

std::string CapturedStream::text() {
    fflush(stdout);
    fflush(stderr);
    return readFile(path_);
}

std::string CapturedStream::written() {
    return readFile(path_);
}

PtyPeer::PtyPeer(const std::string&, const std::string&) : master_(-1) {
    throw std::runtime_error(kNoPty);
}

PtyPeer::~PtyPeer() {}

void PtyPeer::vanish() {}
void PtyPeer::send(const std::string&) {}
void PtyPeer::send(const void*, size_t) {}
std::string PtyPeer::receive(int, int) {
    return std::string();
}
std::string PtyPeer::receiveExactly(size_t, int) {
    return std::string();
}
std::string PtyPeer::receiveUntil(const std::string&, int) {
    return std::string();
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    _putenv_s(name, value.c_str());
}

ScopedEnv::~ScopedEnv() {
    _putenv_s(name_.c_str(), had_ ? old_.c_str() : "");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace testsupport
