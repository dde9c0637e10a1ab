// bmimage: makes, signs, inspects and verifies the images and packages that the
// boot manager boots and installs.
//
// Signing uses OpenSSL (RSA PKCS#1 v1.5 over SHA-256 with a private PEM key);
// every check (header layouts, header records, image CRC, digest, signature)
// runs through the boot manager's own code, so that what this tool accepts is
// what the switch accepts. Every input file is treated as hostile: lengths are
// checked against what is really there before anything is read or allocated.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include "crypto/hash/hash.h"
#include "crypto/random/random.h"
#include "image/image.h"
#include "security/keys.h"
#include "security/signature.h"

namespace {

// The largest file this tool reads: far above any slot or partition, and far
// below what would strain the host.
constexpr uint64_t MAX_FILE_SIZE = 1ull << 30;
constexpr size_t MAX_KEY_FILE = 16 * 1024;
constexpr size_t MAX_SIGNATURE = 2048; // RSA-16384 at most
constexpr uint32_t MAX_HDR_LEN = 0xFFFF;
constexpr uint32_t SIGNATURE_RECORD_HEAD = IMAGE_RECORD_HEAD + 2; // tag, length, S
constexpr uint32_t TYPE_RECORD_LEN = IMAGE_RECORD_HEAD + 4;
constexpr uint32_t LAYOUT2_HDR_LEN = 24;

enum : int { EXIT_OK = 0, EXIT_FAIL = 1, EXIT_USAGE = 2 };

using bytes = std::vector<uint8_t>;

void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("bmimage: ", stderr);
    vfprintf(stderr, format, args);
    fputc('\n', stderr);
    va_end(args);
}

// ---------------------------------------------------------------------------
// Type words and versions

struct type_name {
    const char* name;
    uint32_t word;
};

const type_name type_names[] = {
    {"app", IMAGE_TYPE_APPLICATION},
    {"bootloader", IMAGE_TYPE_BOOTLOADER},
    {"kernel", IMAGE_TYPE_KERNEL},
    {"rootfs", IMAGE_TYPE_RFS},
    {"devicetree", IMAGE_TYPE_DEVICETREE},
    {"diags", IMAGE_TYPE_DIAGNOSTICS},
    {"kvrt", IMAGE_TYPE_KVRT},
};

// A name of the table, or 0x followed by one to eight hexadecimal digits.
bool parse_type(const char* text, uint32_t* word) {
    for (const type_name& t : type_names) {
        if (strcmp(text, t.name) == 0) {
            *word = t.word;
            return true;
        }
    }
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) return false;
    const char* digits = text + 2;
    size_t n = strlen(digits);
    if (n == 0 || n > 8 || strspn(digits, "0123456789abcdefABCDEF") != n) return false;
    *word = uint32_t(strtoul(digits, nullptr, 16));
    return true;
}

std::string describe_type(uint32_t word) {
    for (const type_name& t : type_names)
        if (word == t.word) return t.name;
    char text[16];
    snprintf(text, sizeof text, "0x%08x", word);
    return text;
}

// A.B.C.D, each 0 to 255, stored most significant first.
bool parse_version(const char* text, uint32_t* id) {
    uint32_t value = 0;
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *p++ != '.') return false;
        size_t n = strspn(p, "0123456789");
        if (n == 0 || n > 3) return false;
        uint32_t number = uint32_t(strtoul(std::string(p, n).c_str(), nullptr, 10));
        if (number > 255) return false;
        value = (value << 8) | number;
        p += n;
    }
    if (*p) return false;
    *id = value;
    return true;
}

std::string describe_version(const uint8_t* id) {
    char text[20];
    snprintf(text, sizeof text, "%d.%d.%d.%d", id[0], id[1], id[2], id[3]);
    return text;
}

// ---------------------------------------------------------------------------
// Files

bool read_file(const std::string& path, uint64_t max_size, bytes* data) {
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) {
        fail("%s: cannot open: %s", path.c_str(), strerror(errno));
        return false;
    }
    struct stat st;
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) {
        fail("%s: not a regular file", path.c_str());
        fclose(f);
        return false;
    }
    if (uint64_t(st.st_size) > max_size) {
        fail("%s: too large (%lld bytes, at most %llu)", path.c_str(), (long long)st.st_size,
             (unsigned long long)max_size);
        fclose(f);
        return false;
    }
    data->assign(size_t(st.st_size), 0);
    size_t got = data->empty() ? 0 : fread(data->data(), 1, data->size(), f);
    bool ok = got == data->size() && fgetc(f) == EOF && !ferror(f);
    fclose(f);
    if (!ok) fail("%s: read failed or the file changed while it was read", path.c_str());
    return ok;
}

// Writes through a temporary file beside `path` and renames it, so that a failed
// write never leaves a half image, nor destroys the input when OUT names IN.
bool write_file(const std::string& path, const bytes& data) {
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(&temp[0]);
    if (fd < 0) {
        fail("%s: cannot create: %s", path.c_str(), strerror(errno));
        return false;
    }
    mode_t mask = umask(0);
    umask(mask);
    bool ok = fchmod(fd, 0666 & ~mask) == 0;
    for (size_t done = 0; ok && done < data.size();) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += size_t(n);
    }
    ok = close(fd) == 0 && ok;
    ok = ok && rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        fail("%s: write failed: %s", path.c_str(), strerror(errno));
        unlink(temp.c_str());
    }
    return ok;
}

// ---------------------------------------------------------------------------
// Walking the sub-images of a file

struct subimage {
    size_t offset;
    image_header_info info;
    size_t size; // H + D
};

uint32_t stored_crc(const uint8_t* sub) {
    return image_get_be32(sub + IMAGE_OFF_CRC);
}

uint32_t computed_crc(const uint8_t* sub, size_t size) {
    return image_crc32(sub + 4, size - 4, IMAGE_CRC_START);
}

void seal_crc(uint8_t* sub, size_t size) {
    image_put_be32(sub + IMAGE_OFF_CRC, computed_crc(sub, size));
}

// Splits a file into its sub-images. On a header that is truncated, runs past
// the end of the file or has unusable lengths, reports it, keeps the
// sub-images before it and returns false.
bool walk_file(const std::string& path, const bytes& file, std::vector<subimage>* subs) {
    subs->clear();
    if (file.empty()) {
        fail("%s: empty file", path.c_str());
        return false;
    }
    size_t p = 0;
    while (p < file.size()) {
        size_t left = file.size() - p;
        if (left < IMAGE_PREFIX_SIZE) {
            fail("%s: truncated header at offset %zu (%zu bytes, a header needs %u)", path.c_str(),
                 p, left, unsigned(IMAGE_PREFIX_SIZE));
            return false;
        }
        subimage s;
        s.offset = p;
        if (!image_header_parse(file.data() + p, &s.info)) {
            fail("%s: header at offset %zu has unusable lengths (layout %u, H %u)", path.c_str(), p,
                 s.info.layout, s.info.hdr_len);
            return false;
        }
        uint64_t total = image_total_size(s.info);
        if (total > left) {
            fail("%s: sub-image at offset %zu is truncated (needs %llu bytes, %zu left)",
                 path.c_str(), p, (unsigned long long)total, left);
            return false;
        }
        s.size = size_t(total);
        subs->push_back(s);
        p += s.size; // at least 16
    }
    return true;
}

const uint8_t* data_of(const bytes& file, const subimage& s) {
    return file.data() + s.offset + s.info.hdr_len;
}

bool crc_good(const bytes& file, const subimage& s) {
    const uint8_t* sub = file.data() + s.offset;
    return computed_crc(sub, s.size) == stored_crc(sub);
}

// The value of the first type record of a layout-3 header, if any.
bool type_record_of(const bytes& file, const subimage& s, uint32_t* word) {
    if (s.info.layout != 3) return false;
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    image_record rec;
    while (image_next_record(file.data() + s.offset, s.info.hdr_len, &offset, &rec) ==
           IMAGE_RECORD_OK) {
        if (rec.tag == IMAGE_TAG_TYPE && rec.length >= TYPE_RECORD_LEN) {
            *word = image_get_be32(rec.body);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Keys and signature checks (the boot manager's own code)

struct public_key {
    std::string label;
    bytes text;
};

std::vector<public_key> builtin_keys() {
    std::vector<public_key> keys;
    keys.push_back({"production",
                    bytes(builtin_production_key, builtin_production_key + SYSTEM_KEY_TEXT_LEN)});
    keys.push_back({"development",
                    bytes(builtin_development_key, builtin_development_key + SYSTEM_KEY_TEXT_LEN)});
    return keys;
}

bool load_public_key(const std::string& path, std::vector<public_key>* keys) {
    public_key key;
    key.label = path;
    if (!read_file(path, MAX_KEY_FILE, &key.text)) return false;
    if (key.text.empty()) {
        fail("%s: empty key file", path.c_str());
        return false;
    }
    keys->push_back(key);
    return true;
}

enum sig_state { SIG_NONE, SIG_BAD, SIG_GOOD };

// Checks the signature of one sub-image against the keys in order; on success
// *label names the first key that verifies it.
sig_state check_signature(const bytes& file, const subimage& s, const std::vector<public_key>& keys,
                          std::string* label) {
    const uint8_t* sub = file.data() + s.offset;
    const uint8_t* signature = nullptr;
    uint16_t signature_len = 0;
    int found = image_find_signature(sub, s.size, &signature, &signature_len);
    if (found == IMAGE_SIGNATURE_NONE) return SIG_NONE;
    if (found != IMAGE_SIGNATURE_FOUND) return SIG_BAD;
    uint8_t digest[SHA256_DIGEST_SIZE] = {0};
    uint32_t digest_len = 0;
    if (IMGSIGN_computeSHA256(data_of(file, s), s.info.data_len, digest, &digest_len) != 0)
        return SIG_BAD;
    for (const public_key& key : keys) {
        if (IMGSIGN_verifySignature(digest, digest_len, signature, signature_len, key.text.data(),
                                    uint32_t(key.text.size())) == 0) {
            *label = key.label;
            return SIG_GOOD;
        }
    }
    return SIG_BAD;
}

// ---------------------------------------------------------------------------
// Rewriting the signature record of a layout-3 sub-image

// Appends to out a copy of the sub-image with its signature records replaced
// by one holding `signature`, with H, `len` and the CRC recomputed. Other
// records are kept in order; a record length of 0 ends the records and the
// zero padding after it is dropped.
bool append_signed(const std::string& path, const bytes& file, const subimage& s,
                   const bytes& signature, bytes* out) {
    const uint8_t* sub = file.data() + s.offset;
    const uint32_t h = s.info.hdr_len;
    bytes header(sub, sub + IMAGE_RECORDS_OFFSET);
    uint32_t offset = IMAGE_RECORDS_OFFSET;
    for (;;) {
        uint32_t at = offset;
        image_record rec;
        int step = image_next_record(sub, h, &offset, &rec);
        if (step == IMAGE_RECORD_END) break;
        if (step != IMAGE_RECORD_OK) {
            bool zero_end = h - at >= IMAGE_RECORD_HEAD && image_get_be16(sub + at + 2) == 0;
            if (zero_end) break;
            fail("%s: sub-image at offset %zu: malformed header record at header offset %u",
                 path.c_str(), s.offset, at);
            return false;
        }
        if (rec.tag != IMAGE_TAG_SIGNATURE) header.insert(header.end(), sub + at, sub + offset);
    }
    uint64_t record_len = uint64_t(SIGNATURE_RECORD_HEAD) + signature.size();
    uint64_t new_h = header.size() + record_len;
    if (new_h > MAX_HDR_LEN) {
        fail("%s: sub-image at offset %zu: the signed header would exceed %u bytes", path.c_str(),
             s.offset, unsigned(MAX_HDR_LEN));
        return false;
    }
    uint64_t new_size = new_h + s.info.data_len;
    if (new_size - IMAGE_BASE_HEADER_SIZE > UINT32_MAX || out->size() + new_size > MAX_FILE_SIZE) {
        fail("%s: sub-image at offset %zu: too large once signed", path.c_str(), s.offset);
        return false;
    }
    uint8_t head[SIGNATURE_RECORD_HEAD];
    image_put_be16(head, IMAGE_TAG_SIGNATURE);
    image_put_be16(head + 2, uint16_t(record_len));
    image_put_be16(head + 4, uint16_t(signature.size()));
    header.insert(header.end(), head, head + sizeof head);
    header.insert(header.end(), signature.begin(), signature.end());
    image_put_be16(header.data() + 22, uint16_t(new_h));
    image_put_be32(header.data() + IMAGE_OFF_LEN, uint32_t(new_size - IMAGE_BASE_HEADER_SIZE));

    size_t start = out->size();
    out->insert(out->end(), header.begin(), header.end());
    out->insert(out->end(), data_of(file, s), data_of(file, s) + s.info.data_len);
    seal_crc(out->data() + start, size_t(new_size));
    return true;
}

// Reads IN, checks every sub-image and calls sign_one for each layout-3 one
// (index counts layout-3 sub-images from 0); others are copied unchanged.
template <typename SignOne>
int rewrite_signatures(const std::string& in, const std::string& out_path, SignOne sign_one) {
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    bytes out;
    size_t index = 0;
    for (size_t i = 0; i < subs.size(); ++i) {
        const subimage& s = subs[i];
        if (!crc_good(file, s)) {
            fail("%s: sub-image %zu at offset %zu has a bad CRC; refusing to seal it", in.c_str(),
                 i + 1, s.offset);
            return EXIT_FAIL;
        }
        if (s.info.layout != 3) {
            fprintf(stderr, "bmimage: note: sub-image %zu at offset %zu is layout %u: unsigned\n",
                    i + 1, s.offset, s.info.layout);
            out.insert(out.end(), file.begin() + s.offset, file.begin() + s.offset + s.size);
            continue;
        }
        bytes signature;
        if (!sign_one(file, s, index++, &signature)) return EXIT_FAIL;
        if (!append_signed(in, file, s, signature, &out)) return EXIT_FAIL;
    }
    if (index == 0) {
        fail("%s: no layout-3 sub-image: nothing can carry a signature", in.c_str());
        return EXIT_FAIL;
    }
    return write_file(out_path, out) ? EXIT_OK : EXIT_FAIL;
}

// ---------------------------------------------------------------------------
// Command line

struct args {
    int argc;
    char** argv;
    int i = 0;
    bool more() const { return i < argc; }
    const char* next() { return argv[i++]; }
};

bool wants_help(int argc, char** argv) {
    for (int i = 0; i < argc; ++i)
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return true;
    return false;
}

// Takes the value of an option; false (with a message) when it is missing.
bool option_value(args& a, const char* option, const char** value) {
    if (!a.more()) {
        fail("%s needs a value", option);
        return false;
    }
    *value = a.next();
    return true;
}

int usage_error(const char* command, const char* usage) {
    fprintf(stderr, "usage: bmimage %s %s\n", command, usage);
    return EXIT_USAGE;
}

const char create_usage[] = "--type TYPE --version A.B.C.D --data FILE [--layout 1|2|3] "
                            "[--type-record TYPE] -o OUT";
const char create_help[] =
    "Makes one unsigned sub-image around the bytes of FILE.\n"
    "  --type TYPE          app, bootloader, kernel, rootfs, devicetree, diags, kvrt or 0xWORD\n"
    "  --version A.B.C.D    the version, four numbers 0 to 255\n"
    "  --data FILE          the data bytes (an application image: a gzip-compressed tar)\n"
    "  --layout 1|2|3       header layout (default 3; only layout 3 can be signed)\n"
    "  --type-record TYPE   layout 3: add a type record naming TYPE\n"
    "  -o OUT               the image file to write\n";

int cmd_create(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage create %s\n%s", create_usage, create_help);
        return EXIT_OK;
    }
    args a{argc, argv};
    const char *type_text = nullptr, *version_text = nullptr, *data_path = nullptr;
    const char *layout_text = "3", *record_text = nullptr, *out = nullptr;
    while (a.more()) {
        const char* option = a.next();
        const char** target = strcmp(option, "--type") == 0          ? &type_text
                              : strcmp(option, "--version") == 0     ? &version_text
                              : strcmp(option, "--data") == 0        ? &data_path
                              : strcmp(option, "--layout") == 0      ? &layout_text
                              : strcmp(option, "--type-record") == 0 ? &record_text
                              : strcmp(option, "-o") == 0            ? &out
                                                                     : nullptr;
        if (!target) {
            fail("create: unknown argument '%s'", option);
            return usage_error("create", create_usage);
        }
        if (!option_value(a, option, target)) return EXIT_USAGE;
    }
    if (!type_text || !version_text || !data_path || !out)
        return usage_error("create", create_usage);
    uint32_t type, id, record_type = 0;
    if (!parse_type(type_text, &type)) {
        fail("create: unknown type '%s'", type_text);
        return EXIT_USAGE;
    }
    if (!parse_version(version_text, &id)) {
        fail("create: version '%s' is not A.B.C.D with numbers 0 to 255", version_text);
        return EXIT_USAGE;
    }
    int layout = strcmp(layout_text, "1") == 0   ? 1
                 : strcmp(layout_text, "2") == 0 ? 2
                 : strcmp(layout_text, "3") == 0 ? 3
                                                 : 0;
    if (!layout) {
        fail("create: layout '%s' is not 1, 2 or 3", layout_text);
        return EXIT_USAGE;
    }
    if (record_text && (layout != 3 || !parse_type(record_text, &record_type))) {
        fail("create: --type-record needs layout 3 and a type");
        return EXIT_USAGE;
    }
    if (layout == 1 && (type & IMAGE_MAGIC_LAYOUT2)) {
        fail("create: type word 0x%08x has bit 31 set, which marks layout 2", type);
        return EXIT_USAGE;
    }

    bytes data;
    if (!read_file(data_path, MAX_FILE_SIZE - MAX_HDR_LEN, &data)) return EXIT_FAIL;
    uint32_t h = layout == 1   ? IMAGE_BASE_HEADER_SIZE
                 : layout == 2 ? LAYOUT2_HDR_LEN
                               : IMAGE_LAYOUT3_MIN_HDR + (record_text ? TYPE_RECORD_LEN : 0);
    if (layout == 1) {
        // A reader takes the first 24 bytes of every sub-image; data that would
        // make them read as a layout-3 header, or end before them, cannot be stored.
        if (data.size() < IMAGE_PREFIX_SIZE - IMAGE_BASE_HEADER_SIZE) {
            fail("create: layout 1 needs at least %u data bytes",
                 unsigned(IMAGE_PREFIX_SIZE - IMAGE_BASE_HEADER_SIZE));
            return EXIT_FAIL;
        }
        if (image_get_be32(data.data()) == IMAGE_HDR3_MAGIC) {
            fail("create: data starting with \"HDR3\" would read as a layout-3 header");
            return EXIT_FAIL;
        }
    }
    bytes image(h, 0);
    uint64_t len = layout == 3 ? uint64_t(h) + data.size() - IMAGE_BASE_HEADER_SIZE : data.size();
    image_put_be32(image.data() + IMAGE_OFF_LEN, uint32_t(len));
    image_put_be32(image.data() + IMAGE_OFF_MAGIC, layout == 2 ? type | IMAGE_MAGIC_LAYOUT2 : type);
    image_put_be32(image.data() + IMAGE_OFF_ID, id);
    if (layout == 2) image_put_be16(image.data() + 18, uint16_t(h));
    if (layout == 3) {
        image_put_be32(image.data() + 16, IMAGE_HDR3_MAGIC);
        image_put_be16(image.data() + 22, uint16_t(h));
        if (record_text) {
            uint8_t* rec = image.data() + IMAGE_RECORDS_OFFSET;
            image_put_be16(rec, IMAGE_TAG_TYPE);
            image_put_be16(rec + 2, uint16_t(TYPE_RECORD_LEN));
            image_put_be32(rec + 4, record_type);
        }
    }
    image.insert(image.end(), data.begin(), data.end());
    seal_crc(image.data(), image.size());
    return write_file(out, image) ? EXIT_OK : EXIT_FAIL;
}

// Takes "IN -o OUT" with the given extra options; returns false on a usage error.
bool in_out_args(args& a, const char* command, std::string* in, std::string* out,
                 const char* option_name, std::string* option) {
    while (a.more()) {
        const char* arg = a.next();
        const char* value;
        if (strcmp(arg, "-o") == 0) {
            if (!option_value(a, arg, &value)) return false;
            *out = value;
        } else if (option_name && strcmp(arg, option_name) == 0) {
            if (!option_value(a, arg, &value)) return false;
            *option = value;
        } else if (arg[0] == '-' || !in->empty()) {
            fail("%s: unexpected argument '%s'", command, arg);
            return false;
        } else {
            *in = arg;
        }
    }
    return !in->empty() && !out->empty() && (!option_name || !option->empty());
}

const char sign_usage[] = "--key PRIVATE.pem IN -o OUT";

int cmd_sign(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage sign %s\n"
               "Signs every layout-3 sub-image of IN with the RSA private key (PKCS#1 v1.5,\n"
               "SHA-256 over the data bytes). An earlier signature record is replaced; H, the\n"
               "length and the CRC are recomputed. Sub-images with a bad CRC are refused.\n",
               sign_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out, key_path;
    if (!in_out_args(a, "sign", &in, &out, "--key", &key_path))
        return usage_error("sign", sign_usage);

    bytes key_pem;
    if (!read_file(key_path, MAX_KEY_FILE, &key_pem)) return EXIT_FAIL;
    BIO* bio = BIO_new_mem_buf(key_pem.data(), int(key_pem.size()));
    // No pass phrase prompt: an encrypted key is refused.
    auto no_pass = [](char*, int, int, void*) -> int { return 0; };
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, no_pass, nullptr) : nullptr;
    BIO_free(bio);
    if (!key || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) {
        fail("%s: not an unencrypted RSA private key in PEM form", key_path.c_str());
        EVP_PKEY_free(key);
        return EXIT_FAIL;
    }
    auto sign_one = [&](const bytes& file, const subimage& s, size_t, bytes* signature) {
        EVP_MD_CTX* ctx = EVP_MD_CTX_new();
        size_t length = size_t(EVP_PKEY_get_size(key));
        signature->assign(length, 0);
        bool ok =
            ctx && EVP_DigestSignInit(ctx, nullptr, EVP_sha256(), nullptr, key) == 1 &&
            EVP_DigestSign(ctx, signature->data(), &length, data_of(file, s), s.info.data_len) == 1;
        EVP_MD_CTX_free(ctx);
        if (!ok || length > MAX_SIGNATURE) {
            fail("%s: signing failed", key_path.c_str());
            return false;
        }
        signature->resize(length);
        return true;
    };
    int status = rewrite_signatures(in, out, sign_one);
    EVP_PKEY_free(key);
    return status;
}

const char attach_usage[] = "--signature FILE[,FILE...] IN -o OUT";

int cmd_attach(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage attach %s\n"
               "Inserts signatures made elsewhere (for example over the digests that\n"
               "'bmimage digest' prints): one raw signature file per layout-3 sub-image of\n"
               "IN, in order. An earlier signature record is replaced; H, the length and the\n"
               "CRC are recomputed. Check the result with 'bmimage verify'.\n",
               attach_usage);
        return EXIT_OK;
    }
    args a{argc, argv};
    std::string in, out, list;
    if (!in_out_args(a, "attach", &in, &out, "--signature", &list))
        return usage_error("attach", attach_usage);
    std::vector<bytes> signatures;
    for (size_t start = 0; start <= list.size();) {
        size_t comma = list.find(',', start);
        if (comma == std::string::npos) comma = list.size();
        std::string path = list.substr(start, comma - start);
        bytes signature;
        if (path.empty()) {
            fail("attach: empty name in the signature list");
            return EXIT_USAGE;
        }
        if (!read_file(path, MAX_SIGNATURE, &signature)) return EXIT_FAIL;
        if (signature.empty()) {
            fail("%s: empty signature file", path.c_str());
            return EXIT_FAIL;
        }
        signatures.push_back(signature);
        start = comma + 1;
    }
    auto take = [&](const bytes&, const subimage& s, size_t index, bytes* signature) {
        if (index >= signatures.size()) {
            fail("attach: no signature for the layout-3 sub-image at offset %zu", s.offset);
            return false;
        }
        *signature = signatures[index];
        return true;
    };
    // Count first, so that a surplus signature leaves no output behind.
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
    size_t signable = 0;
    for (const subimage& s : subs) signable += s.info.layout == 3;
    if (signable != signatures.size()) {
        fail("attach: %zu signatures for %zu layout-3 sub-images", signatures.size(), signable);
        return EXIT_FAIL;
    }
    return rewrite_signatures(in, out, take);
}

const char digest_usage[] = "IN";

int cmd_digest(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage digest %s\n"
               "Prints the SHA-256 of the signed data (the data bytes) of every layout-3\n"
               "sub-image of IN in hexadecimal, one line each, in order: what a signer signs.\n",
               digest_usage);
        return EXIT_OK;
    }
    if (argc != 1 || argv[0][0] == '-') return usage_error("digest", digest_usage);
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(argv[0], MAX_FILE_SIZE, &file) || !walk_file(argv[0], file, &subs))
        return EXIT_FAIL;
    size_t printed = 0;
    for (const subimage& s : subs) {
        if (s.info.layout != 3) continue;
        uint8_t digest[SHA256_DIGEST_SIZE] = {0};
        uint32_t digest_len = 0;
        int32_t status =
            IMGSIGN_computeSHA256(data_of(file, s), s.info.data_len, digest, &digest_len);
        if (status != 0 || digest_len != SHA256_DIGEST_SIZE) {
            fail("%s: digest failed (status %d)", argv[0], status);
            return EXIT_FAIL;
        }
        for (uint8_t b : digest) printf("%02x", b);
        putchar('\n');
        ++printed;
    }
    if (printed == 0) {
        fail("%s: no layout-3 sub-image: nothing can carry a signature", argv[0]);
        return EXIT_FAIL;
    }
    return EXIT_OK;
}

const char pack_usage[] = "IN... -o OUT";

int cmd_pack(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage pack %s\n"
               "Concatenates images or packages into one package. Every input must consist\n"
               "of whole sub-images with good CRCs.\n",
               pack_usage);
        return EXIT_OK;
    }
    std::vector<std::string> inputs;
    std::string out;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
            out = argv[++i];
        } else if (argv[i][0] == '-') {
            fail("pack: unexpected argument '%s'", argv[i]);
            return usage_error("pack", pack_usage);
        } else {
            inputs.push_back(argv[i]);
        }
    }
    if (inputs.empty() || out.empty()) return usage_error("pack", pack_usage);
    bytes package;
    for (const std::string& in : inputs) {
        bytes file;
        std::vector<subimage> subs;
        if (!read_file(in, MAX_FILE_SIZE, &file) || !walk_file(in, file, &subs)) return EXIT_FAIL;
        for (const subimage& s : subs) {
            if (!crc_good(file, s)) {
                fail("%s: sub-image at offset %zu has a bad CRC", in.c_str(), s.offset);
                return EXIT_FAIL;
            }
        }
        if (package.size() + file.size() > MAX_FILE_SIZE) {
            fail("pack: the package would exceed %llu bytes", (unsigned long long)MAX_FILE_SIZE);
            return EXIT_FAIL;
        }
        package.insert(package.end(), file.begin(), file.end());
    }
    return write_file(out, package) ? EXIT_OK : EXIT_FAIL;
}

// Takes "[--key PUB.pem]... FILE".
bool key_file_args(int argc, char** argv, const char* command, std::vector<public_key>* keys,
                   std::string* path) {
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "--key") == 0) {
            if (i + 1 >= argc) {
                fail("--key needs a value");
                return false;
            }
            if (!load_public_key(argv[++i], keys)) return false;
        } else if (argv[i][0] == '-' || !path->empty()) {
            fail("%s: unexpected argument '%s'", command, argv[i]);
            return false;
        } else {
            *path = argv[i];
        }
    }
    if (path->empty()) fail("%s: no file named", command);
    return !path->empty();
}

const char info_usage[] = "[--key PUB.pem]... FILE";

int cmd_info(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage info %s\n"
               "Prints one line per sub-image: offset, type, layout, version, header length H,\n"
               "data length D, CRC (good or bad) and signature: none, production or\n"
               "development (the built-in keys), the name of a --key file that verifies it,\n"
               "or bad.\n",
               info_usage);
        return EXIT_OK;
    }
    std::vector<public_key> extra;
    std::string path;
    if (!key_file_args(argc, argv, "info", &extra, &path)) return EXIT_USAGE;
    std::vector<public_key> keys = builtin_keys();
    keys.insert(keys.end(), extra.begin(), extra.end());
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(path, MAX_FILE_SIZE, &file)) return EXIT_FAIL;
    bool whole = walk_file(path, file, &subs);
    if (subs.empty()) return EXIT_FAIL;
    printf("%-10s %-24s %-6s %-15s %6s %10s %-4s %s\n", "OFFSET", "TYPE", "LAYOUT", "VERSION", "H",
           "D", "CRC", "SIGNATURE");
    for (const subimage& s : subs) {
        const uint8_t* sub = file.data() + s.offset;
        std::string type = describe_type(s.info.magic & ~uint32_t(IMAGE_MAGIC_LAYOUT2));
        uint32_t record;
        if (type_record_of(file, s, &record)) type += " (record " + describe_type(record) + ")";
        std::string label;
        sig_state sig = check_signature(file, s, keys, &label);
        printf("%-10zu %-24s %-6u %-15s %6u %10u %-4s %s\n", s.offset, type.c_str(), s.info.layout,
               describe_version(sub + IMAGE_OFF_ID).c_str(), s.info.hdr_len, s.info.data_len,
               crc_good(file, s) ? "good" : "bad",
               sig == SIG_NONE  ? "none"
               : sig == SIG_BAD ? "bad"
                                : label.c_str());
    }
    return whole ? EXIT_OK : EXIT_FAIL;
}

const char verify_usage[] = "[--key PUB.pem]... FILE";

int cmd_verify(int argc, char** argv) {
    if (wants_help(argc, argv)) {
        printf("usage: bmimage verify %s\n"
               "Exits 0 only when every sub-image of FILE is whole, its CRC is good and its\n"
               "signature verifies under the built-in production key, or, when --key is\n"
               "given, under one of those public keys instead. Otherwise prints the first\n"
               "reason and exits 1.\n",
               verify_usage);
        return EXIT_OK;
    }
    std::vector<public_key> keys;
    std::string path;
    if (!key_file_args(argc, argv, "verify", &keys, &path)) return EXIT_USAGE;
    if (keys.empty()) keys.resize(1, builtin_keys()[0]);
    bytes file;
    std::vector<subimage> subs;
    if (!read_file(path, MAX_FILE_SIZE, &file) || !walk_file(path, file, &subs)) return EXIT_FAIL;
    for (size_t i = 0; i < subs.size(); ++i) {
        const subimage& s = subs[i];
        const char* reason = nullptr;
        std::string label;
        if (!crc_good(file, s)) {
            reason = "bad CRC";
        } else {
            sig_state sig = check_signature(file, s, keys, &label);
            if (sig == SIG_NONE) reason = "unsigned";
            if (sig == SIG_BAD) reason = "signature does not verify";
        }
        if (reason) {
            fail("%s: sub-image %zu at offset %zu: %s", path.c_str(), i + 1, s.offset, reason);
            return EXIT_FAIL;
        }
    }
    printf("%s: %zu sub-image%s verified\n", path.c_str(), subs.size(),
           subs.size() == 1 ? "" : "s");
    return EXIT_OK;
}

const char tool_usage[] =
    "usage: bmimage COMMAND ...\n"
    "  create --type TYPE --version A.B.C.D --data FILE [--layout 1|2|3]\n"
    "         [--type-record TYPE] -o OUT     make an unsigned image\n"
    "  sign --key PRIVATE.pem IN -o OUT      sign every layout-3 sub-image\n"
    "  digest IN                             SHA-256 of each signable sub-image's data\n"
    "  attach --signature FILE[,FILE...] IN -o OUT\n"
    "                                        insert signatures made elsewhere\n"
    "  pack IN... -o OUT                     concatenate images into a package\n"
    "  info [--key PUB.pem]... FILE          show the sub-images\n"
    "  verify [--key PUB.pem]... FILE        check CRCs and signatures as the switch does\n"
    "'bmimage COMMAND --help' describes a command.\n";

struct command_entry {
    const char* name;
    int (*run)(int argc, char** argv);
};

const command_entry commands[] = {
    {"create", cmd_create}, {"sign", cmd_sign}, {"digest", cmd_digest}, {"attach", cmd_attach},
    {"pack", cmd_pack},     {"info", cmd_info}, {"verify", cmd_verify},
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(tool_usage, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : EXIT_OK;
    }
    for (const command_entry& command : commands) {
        if (strcmp(argv[1], command.name) == 0) {
            // The toolkit as the boot manager starts it (the key decoder needs it).
            if (TOOLKIT_initialize() < 0) {
                fail("the cryptographic toolkit did not start");
                return EXIT_FAIL;
            }
            int status = command.run(argc - 2, argv + 2);
            TOOLKIT_shutdown();
            if (fflush(stdout) != 0 && status == EXIT_OK) status = EXIT_FAIL;
            return status;
        }
    }
    fail("unknown command '%s'", argv[1]);
    fputs(tool_usage, stderr);
    return EXIT_USAGE;
}
