// System keys: the built-in production and development public keys and their
// encrypted mirrors under /user. Every load reads the unit serial and the key
// file again; whatever the file holds, the key handed out is the built-in one.
#include "security/keys.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "board/i2c.h"
#include "board/sys.h"
#include "crypto/aes/aes.h"
#include "crypto/platform/platform.h"

namespace {

constexpr char kSerialDefault[SYSTEM_KEY_SERIAL_LEN + 1] = "plumtreevane";
constexpr uint32_t kAesKeyLen = 16;

// The built-in key for a key file path, null for any other path.
const char* builtin_key_for(const char* path) {
    if (strcmp(path, PRODUCTION_KEY_PATH) == 0) return builtin_production_key;
    if (strcmp(path, DEVELOPMENT_KEY_PATH) == 0) return builtin_development_key;
    return nullptr;
}

void use_builtin_key(system_key_record* record, const char* key) {
    memcpy(record->text, key, SYSTEM_KEY_COPY_LEN);
    record->length = SYSTEM_KEY_TEXT_LEN;
}

// The 16-byte AES key: key material zero-filled (or cut) to 16 bytes.
void make_aes_key(uint8_t out[kAesKeyLen], const uint8_t* aes_key, uint32_t aes_key_length) {
    memset(out, 0, kAesKeyLen);
    if (aes_key) memcpy(out, aes_key, aes_key_length < kAesKeyLen ? aes_key_length : kAesKeyLen);
}

bool file_exists(const char* path) {
    struct stat st;
    return stat(sys_path(path).c_str(), &st) == 0;
}

// Reads a regular file of at most `room` bytes whole. Returns its size, or
// -1 when it cannot be opened or read; a larger file gives its size unread.
// Never blocks on a FIFO or a device planted at the path.
long read_small_file(const char* path, uint8_t* buffer, size_t room) {
    int fd = open(sys_path(path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    long result = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (uint64_t(st.st_size) > room) {
            result = long(st.st_size > LONG_MAX ? LONG_MAX : st.st_size);
        } else {
            size_t got = 0;
            while (got < size_t(st.st_size)) {
                ssize_t n = read(fd, buffer + got, size_t(st.st_size) - got);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += size_t(n);
            }
            // A file that shrank while being read is taken as what was read.
            result = long(got);
        }
    }
    close(fd);
    return result;
}

// A key file that cannot be decrypted: both key files go, so that the next
// load creates them again from the built-in keys. Other ".pem" files in /user
// are the application's own and stay.
void delete_key_pair() {
    for (const char* path : {PRODUCTION_KEY_PATH, DEVELOPMENT_KEY_PATH})
        unlink(sys_path(path).c_str());
}

} // namespace

int delete_system_key_files() {
    const std::string dir = sys_path("/user");
    DIR* d = opendir(dir.c_str());
    if (!d) return 0;
    int removed = 0;
    while (dirent* entry = readdir(d)) {
        size_t n = strlen(entry->d_name);
        if (n < 4 || strcmp(entry->d_name + n - 4, ".pem") != 0) continue;
        if (unlink((dir + "/" + entry->d_name).c_str()) == 0) ++removed;
    }
    closedir(d);
    return removed;
}

uint8_t* imgsign_encrypt(const uint8_t* aes_key, uint32_t aes_key_length, const uint8_t* data,
                         uint32_t data_length, uint32_t* out_length) {
    if ((!data && data_length > 0) || data_length > UINT32_MAX - (AES_BLOCK_SIZE - 1)) {
        puts("Encrypt malloc failed!");
        return nullptr;
    }
    const uint32_t padded = (data_length + AES_BLOCK_SIZE - 1) / AES_BLOCK_SIZE * AES_BLOCK_SIZE;
    uint8_t iv[AES_BLOCK_SIZE] = {0};
    uint8_t key[kAesKeyLen];
    make_aes_key(key, aes_key, aes_key_length);

    uint8_t* buffer = static_cast<uint8_t*>(calloc(padded ? padded : 1, 1));
    if (!buffer) {
        PLATFORM_zeroize(key, sizeof key);
        puts("Encrypt malloc failed!");
        return nullptr;
    }
    if (data_length) memcpy(buffer, data, data_length);

    AESCtx* ctx = CreateAESCtx(key, kAesKeyLen, 1);
    PLATFORM_zeroize(key, sizeof key);
    if (!ctx) {
        puts("CreateAESCtx(encrypt) failed!");
        free(buffer);
        return nullptr;
    }
    MSTATUS status = DoAES(ctx, buffer, padded, 1, iv);
    ReleaseAESCtx(&ctx);
    if (status < 0) {
        printf("Do aes encryption failed. rc=%d", int(status));
        free(buffer);
        return nullptr;
    }
    if (out_length) *out_length = padded;
    return buffer;
}

uint8_t* imgsign_decrypt(const uint8_t* aes_key, uint32_t aes_key_length, const uint8_t* data,
                         uint32_t data_length, uint32_t* out_length) {
    if (data_length % AES_BLOCK_SIZE != 0 || (!data && data_length > 0)) {
        puts("Input data is not AES size correct");
        delete_key_pair();
        return nullptr;
    }
    uint8_t iv[AES_BLOCK_SIZE] = {0};
    uint8_t key[kAesKeyLen];
    make_aes_key(key, aes_key, aes_key_length);
    AESCtx* ctx = CreateAESCtx(key, kAesKeyLen, 0);
    PLATFORM_zeroize(key, sizeof key);
    if (!ctx) {
        printf("%s: CreateAESCtx(decrypt) failed!\n", "imgsign_decrypt");
        delete_key_pair();
        return nullptr;
    }
    uint8_t* buffer = static_cast<uint8_t*>(malloc(data_length ? data_length : 1));
    MSTATUS status = ERR_MEM_ALLOC_FAIL;
    if (buffer) {
        if (data_length) memcpy(buffer, data, data_length);
        status = DoAES(ctx, buffer, data_length, 0, iv);
    }
    ReleaseAESCtx(&ctx);
    if (status < 0) {
        printf("Do aes failed. rc=%d", int(status));
        free(buffer);
        delete_key_pair();
        return nullptr;
    }
    // The text ends at the first zero byte, or with the buffer.
    const void* zero = memchr(buffer, 0, data_length);
    if (out_length)
        *out_length = zero ? uint32_t(static_cast<const uint8_t*>(zero) - buffer) : data_length;
    return buffer;
}

int write_system_key_file(const uint8_t* key_text, uint32_t key_text_length, const char* path,
                          const uint8_t* aes_key, uint32_t aes_key_length) {
    if (!path) return 0;
    uint32_t cipher_length = 0;
    uint8_t* cipher =
        imgsign_encrypt(aes_key, aes_key_length, key_text, key_text_length, &cipher_length);
    // Not through a symbolic link planted at the path.
    int fd =
        open(sys_path(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        printf("ERROR creating file %s\n", path);
        free(cipher);
        return 0;
    }
    // A failed encryption leaves an empty file; the next load rewrites it.
    size_t done = 0;
    while (cipher && done < cipher_length) {
        ssize_t n = write(fd, cipher + done, cipher_length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    close(fd);
    free(cipher);
    return 1;
}

int load_system_key(system_key_record* record, const char* path) {
    if (!record || !path) return 0;
    const char* builtin = builtin_key_for(path);

    uint8_t serial[SYSTEM_KEY_SERIAL_LEN];
    memcpy(serial, kSerialDefault, sizeof serial);
    board_read_serial(serial);

    bool serial_set = false;
    for (uint8_t b : serial) serial_set = serial_set || b != 0;
    if (!serial_set) {
        puts("WARNING: Serial # not set on this unit. Built in keys must be used");
        if (!builtin) return 0;
        use_builtin_key(record, builtin);
        return 1;
    }

    record->length = 0;
    if (!file_exists(path)) {
        if (builtin)
            write_system_key_file(reinterpret_cast<const uint8_t*>(builtin), SYSTEM_KEY_COPY_LEN,
                                  path, serial, sizeof serial);
        if (!file_exists(path)) {
            puts("ERROR - unable to find system key");
            return 0;
        }
    }

    long size = read_small_file(path, record->text, SYSTEM_KEY_TEXT_MAX);
    if (size < 0) return 0;
    if (size > long(SYSTEM_KEY_TEXT_MAX)) {
        printf("ERROR loading key as length too long %d > %d\n",
               size > INT32_MAX ? INT32_MAX : int(size), int(SYSTEM_KEY_TEXT_MAX));
        return 0;
    }
    record->length = uint16_t(size);

    uint32_t text_length = 0;
    uint8_t* plain =
        imgsign_decrypt(serial, sizeof serial, record->text, record->length, &text_length);
    if (plain) {
        memcpy(record->text, plain, text_length);
        PLATFORM_zeroize(plain, text_length);
        free(plain);
    } else {
        text_length = 0;
    }
    record->length = uint16_t(text_length);

    // Any text but the whole built-in key is replaced by it. An empty or cut
    // text (an empty file, a failed decryption, a zero byte early in the text)
    // counts as different too: kept, it would fail every later signature check.
    if (builtin) {
        if (record->length != SYSTEM_KEY_TEXT_LEN ||
            memcmp(builtin, record->text, SYSTEM_KEY_TEXT_LEN) != 0) {
            puts(builtin == builtin_production_key ? "Updating system key...."
                                                   : "Updating system development key....");
            write_system_key_file(reinterpret_cast<const uint8_t*>(builtin), SYSTEM_KEY_COPY_LEN,
                                  path, serial, sizeof serial);
            use_builtin_key(record, builtin);
        }
    }
    return 1;
}

int check_system_keys() {
    system_key_record record;
    if (!load_system_key(&record, PRODUCTION_KEY_PATH)) return 0;
    return load_system_key(&record, DEVELOPMENT_KEY_PATH) ? 1 : 0;
}
