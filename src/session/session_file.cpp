#include "session/session_file.h"

#include <errno.h>
#include <string.h>

#ifdef MODEMFLASH_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef MODEMFLASH_HAVE_ZSTD
#include <zstd.h>
#endif

#include "platform/file.h"

namespace session {

namespace {

bool endsWith(const std::string& s, const char* tail) {
    size_t n = strlen(tail);
    return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

const unsigned char kGzipMagic[2] = {0x1F, 0x8B};
const unsigned char kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};

}  // namespace

Compression compressionForName(const std::string& path) {
    if (endsWith(path, ".zst")) return COMPRESSION_ZSTD;
    if (endsWith(path, ".gz")) return COMPRESSION_GZIP;
    return COMPRESSION_NONE;
}

bool compressionAvailable(Compression c) {
    switch (c) {
        case COMPRESSION_NONE:
            return true;
        case COMPRESSION_GZIP:
#ifdef MODEMFLASH_HAVE_ZLIB
            return true;
#else
            return false;
#endif
        case COMPRESSION_ZSTD:
#ifdef MODEMFLASH_HAVE_ZSTD
            return true;
#else
            return false;
#endif
    }
    return false;
}

const char* compressionName(Compression c) {
    return c == COMPRESSION_ZSTD ? "zstd" : c == COMPRESSION_GZIP ? "gzip" : "none";
}

// ---- writing ------------------------------------------------------------------------------

SessionOutput::~SessionOutput() {
    close();
}

bool SessionOutput::open(const std::string& path, std::string* error) {
    close();
    compression_ = compressionForName(path);
    if (!compressionAvailable(compression_)) {
        *error = std::string("this build cannot write ") + compressionName(compression_) +
                 " files (name the file without ." +
                 (compression_ == COMPRESSION_ZSTD ? "zst" : "gz") + ")";
        return false;
    }
    file_ = file_Open(path.c_str(), "wb");
    if (file_ == nullptr) {
        *error = "cannot create " + path + ": " + strerror(errno);
        return false;
    }
#ifdef MODEMFLASH_HAVE_ZLIB
    if (compression_ == COMPRESSION_GZIP) {
        z_stream* z = new z_stream();
        // 15 + 16: a gzip header and trailer around the deflate stream.
        if (deflateInit2(z, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
            delete z;
            fclose(file_);
            file_ = nullptr;
            *error = "cannot start the gzip compressor";
            return false;
        }
        stream_ = z;
    }
#endif
#ifdef MODEMFLASH_HAVE_ZSTD
    if (compression_ == COMPRESSION_ZSTD) {
        ZSTD_CCtx* c = ZSTD_createCCtx();
        if (c == nullptr) {
            fclose(file_);
            file_ = nullptr;
            *error = "cannot start the zstd compressor";
            return false;
        }
        ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel,
                               1);  // fast: a session kept whole is large
        ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
        stream_ = c;
    }
#endif
    failed_ = false;
    return true;
}

bool SessionOutput::append(const char* data, size_t count) {
    if (file_ == nullptr) return false;
    pending_.append(data, count);
    return true;
}

bool SessionOutput::writeAll(const char* data, size_t count) {
    if (count > 0 && fwrite(data, 1, count, file_) != count) failed_ = true;
    return !failed_;
}

// Turns the pending text into compressed bytes in out_, flushed to a block boundary (or, with
// end, with the stream's end).
bool SessionOutput::compressPending(bool end) {
    (void)end;  // builds without zlib and zstd (the Windows cross builds) have no stream to end
    out_.clear();
    if (compression_ == COMPRESSION_GZIP) {
#ifdef MODEMFLASH_HAVE_ZLIB
        z_stream* z = static_cast<z_stream*>(stream_);
        z->next_in = reinterpret_cast<Bytef*>(&pending_[0]);
        z->avail_in = static_cast<uInt>(pending_.size());
        int r;
        do {
            char chunk[65536];
            z->next_out = reinterpret_cast<Bytef*>(chunk);
            z->avail_out = sizeof chunk;
            r = deflate(z, end ? Z_FINISH : Z_SYNC_FLUSH);
            if (r == Z_STREAM_ERROR) return false;
            out_.insert(out_.end(), chunk, chunk + (sizeof chunk - z->avail_out));
        } while (z->avail_out == 0 || (end && r != Z_STREAM_END));
#endif
    } else if (compression_ == COMPRESSION_ZSTD) {
#ifdef MODEMFLASH_HAVE_ZSTD
        ZSTD_CCtx* c = static_cast<ZSTD_CCtx*>(stream_);
        ZSTD_inBuffer in = {pending_.data(), pending_.size(), 0};
        size_t left;
        do {
            char chunk[65536];
            ZSTD_outBuffer out = {chunk, sizeof chunk, 0};
            left = ZSTD_compressStream2(c, &out, &in, end ? ZSTD_e_end : ZSTD_e_flush);
            if (ZSTD_isError(left)) return false;
            out_.insert(out_.end(), chunk, chunk + out.pos);
        } while (left != 0);
#endif
    }
    pending_.clear();
    return true;
}

bool SessionOutput::flush() {
    if (file_ == nullptr || failed_) return false;
    if (compression_ == COMPRESSION_NONE) {
        writeAll(pending_.data(), pending_.size());
        pending_.clear();
    } else {
        if (pending_.empty()) return fflush(file_) == 0;
        if (!compressPending(false)) failed_ = true;
        writeAll(out_.data(), out_.size());
    }
    if (fflush(file_) != 0) failed_ = true;
    return !failed_;
}

bool SessionOutput::close() {
    if (file_ == nullptr) return true;
    bool ok = flush();
    if (compression_ != COMPRESSION_NONE && ok) {
        ok = compressPending(true) && writeAll(out_.data(), out_.size());
    }
#ifdef MODEMFLASH_HAVE_ZLIB
    if (compression_ == COMPRESSION_GZIP && stream_ != nullptr) {
        deflateEnd(static_cast<z_stream*>(stream_));
        delete static_cast<z_stream*>(stream_);
    }
#endif
#ifdef MODEMFLASH_HAVE_ZSTD
    if (compression_ == COMPRESSION_ZSTD && stream_ != nullptr)
        ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(stream_));
#endif
    stream_ = nullptr;
    if (fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok && !failed_;
}

// ---- reading ------------------------------------------------------------------------------

namespace {

void splitLines(const std::string& text, SessionText* out) {
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            out->lines.push_back(text.substr(start));
            out->lastLineCut = true;
            return;
        }
        out->lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

bool tooLarge(size_t size, size_t maxBytes, std::string* error) {
    if (size <= maxBytes) return false;
    *error = "the session's text is larger than " + std::to_string(maxBytes) + " bytes";
    return true;
}

}  // namespace

bool decodeSessionText(const std::string& bytes, SessionText* out, std::string* error,
                       size_t maxBytes) {
    *out = SessionText();
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    std::string text;
    if (bytes.size() >= 2 && memcmp(b, kGzipMagic, 2) == 0) {
        out->compression = COMPRESSION_GZIP;
#ifdef MODEMFLASH_HAVE_ZLIB
        z_stream z{};
        if (inflateInit2(&z, 15 + 16) != Z_OK) {
            *error = "cannot start the gzip decompressor";
            return false;
        }
        z.next_in = const_cast<Bytef*>(reinterpret_cast<const Bytef*>(bytes.data()));
        z.avail_in = static_cast<uInt>(bytes.size());
        bool cut = false, bad = false;
        for (;;) {
            char chunk[65536];
            z.next_out = reinterpret_cast<Bytef*>(chunk);
            z.avail_out = sizeof chunk;
            int r = inflate(&z, Z_NO_FLUSH);
            text.append(chunk, sizeof chunk - z.avail_out);
            if (tooLarge(text.size(), maxBytes, error)) {
                inflateEnd(&z);
                return false;
            }
            if (r == Z_STREAM_END) break;
            if (r == Z_BUF_ERROR || (r == Z_OK && z.avail_in == 0 && z.avail_out != 0)) {
                cut = true;  // the input ended before the stream did
                break;
            }
            if (r != Z_OK) {
                bad = true;
                break;
            }
        }
        std::string why = z.msg ? z.msg : "damaged";
        inflateEnd(&z);
        if ((bad || cut) && text.empty()) {
            *error = "not a gzip stream (" + why + ")";
            return false;
        }
        out->streamCut = cut || bad;
#else
        *error = "the file is gzip-compressed and this build has no gzip";
        return false;
#endif
    } else if (bytes.size() >= 4 && memcmp(b, kZstdMagic, 4) == 0) {
        out->compression = COMPRESSION_ZSTD;
#ifdef MODEMFLASH_HAVE_ZSTD
        ZSTD_DCtx* d = ZSTD_createDCtx();
        if (d == nullptr) {
            *error = "cannot start the zstd decompressor";
            return false;
        }
        ZSTD_inBuffer in = {bytes.data(), bytes.size(), 0};
        size_t left = 1;
        bool bad = false;
        while (in.pos < in.size) {
            char chunk[65536];
            ZSTD_outBuffer o = {chunk, sizeof chunk, 0};
            left = ZSTD_decompressStream(d, &o, &in);
            if (ZSTD_isError(left)) {
                bad = true;
                break;
            }
            text.append(chunk, o.pos);
            if (tooLarge(text.size(), maxBytes, error)) {
                ZSTD_freeDCtx(d);
                return false;
            }
        }
        // What the decoder still holds once the input is used up.
        for (int guard = 0; !bad && left != 0 && guard < 1 << 16; ++guard) {
            char chunk[65536];
            ZSTD_outBuffer o = {chunk, sizeof chunk, 0};
            left = ZSTD_decompressStream(d, &o, &in);
            if (ZSTD_isError(left)) bad = true;
            if (bad || o.pos == 0) break;
            text.append(chunk, o.pos);
            if (tooLarge(text.size(), maxBytes, error)) {
                ZSTD_freeDCtx(d);
                return false;
            }
        }
        ZSTD_freeDCtx(d);
        if ((bad || left != 0) && text.empty()) {
            *error = "not a zstd stream (nothing in it could be read)";
            return false;
        }
        if (bad || left != 0) out->streamCut = true;
#else
        *error = "the file is zstd-compressed and this build has no zstd";
        return false;
#endif
    } else {
        if (tooLarge(bytes.size(), maxBytes, error)) return false;
        text = bytes;
    }
    splitLines(text, out);
    return true;
}

bool readSessionText(const std::string& path, SessionText* out, std::string* error,
                     size_t maxBytes) {
    if (file_Kind(path.c_str()) != FILE_KIND_REGULAR) {
        *error = path + " is not a regular file";
        return false;
    }
    FILE* f = file_Open(path.c_str(), "rb");
    if (f == nullptr) {
        *error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::string bytes;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        bytes.append(chunk, n);
        if (bytes.size() > maxBytes) {
            fclose(f);
            *error = path + " is larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
    }
    bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        *error = "cannot read " + path;
        return false;
    }
    return decodeSessionText(bytes, out, error, maxBytes);
}

}  // namespace session
