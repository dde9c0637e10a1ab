// bmimage: makes, signs, inspects and verifies the images and packages that the
// boot manager boots and installs.
//
// Signing uses OpenSSL (RSA PKCS#1 v1.5 over SHA-256 with a private PEM key);
// every check (header layouts, header records, image CRC, digest, signature)
// runs through the boot manager's own code, so that what this tool accepts is
// what the switch accepts. Every input file is treated as hostile: lengths are
// checked against what is really there before anything is read or allocated.
//
// One file per command; this header holds what the commands share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "image/image.h"

namespace bmimage {

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

// Type words and versions
bool parse_type(const char* text, uint32_t* word);
std::string describe_type(uint32_t word);
bool parse_version(const char* text, uint32_t* id);
std::string describe_version(const uint8_t* id);

// Files
bool read_file(const std::string& path, uint64_t max_size, bytes* data);
bool write_file(const std::string& path, const bytes& data);

// The sub-images of a file
struct subimage {
    size_t offset;
    image_header_info info;
    size_t size; // H + D
};

void seal_crc(uint8_t* sub, size_t size);
bool walk_file(const std::string& path, const bytes& file, std::vector<subimage>* subs);
const uint8_t* data_of(const bytes& file, const subimage& s);
bool crc_good(const bytes& file, const subimage& s);
bool type_record_of(const bytes& file, const subimage& s, uint32_t* word);

// Keys and signature checks (the boot manager's own code)
struct public_key {
    std::string label;
    bytes text;
};

std::vector<public_key> builtin_keys();
// Reads an RSA public key file (PEM or DER); false with a message for anything else.
bool load_public_key(const std::string& path, std::vector<public_key>* keys);
// Whether the signature verifies the sub-image's data under one of the keys; *label names
// the first that does.
bool signature_verifies(const bytes& file, const subimage& s, const uint8_t* signature,
                        size_t signature_len, const std::vector<public_key>& keys,
                        std::string* label);
enum sig_state { SIG_NONE, SIG_BAD, SIG_GOOD };
sig_state check_signature(const bytes& file, const subimage& s, const std::vector<public_key>& keys,
                          std::string* label);

// The manifest (security/manifest.h): whether the sealed sub-images carry one,
// and the security counter record they get.
struct seal_options {
    bool manifest = true;
    bool set_counter = false;
    uint32_t counter = 0;
};

// The manifest of a sealed sub-image and who signed it.
enum manifest_state { MANIFEST_STATE_NONE, MANIFEST_STATE_BAD, MANIFEST_STATE_GOOD };
manifest_state check_manifest(const bytes& file, const subimage& s,
                              const std::vector<public_key>& keys, std::string* label,
                              uint32_t* counter, bool* has_counter);
// The digest a manifest signer signs; false when the sub-image has no manifest record.
bool manifest_digest_of(const uint8_t* sub, size_t size, uint8_t digest[32]);
// Puts a manifest signature of the manifest record's length into sub and seals its CRC.
bool fill_manifest(uint8_t* sub, size_t size, const bytes& signature);

// Rewriting signature records: sign_one(file, sub-image, index, signature out)
// gives the data signature; sign_manifest(index, digest, signature out), when
// set, the manifest signature (otherwise its bytes stay zero, for offline signing).
using sign_function = std::function<bool(const bytes&, const subimage&, size_t, bytes*)>;
using manifest_function = std::function<bool(size_t, const uint8_t*, bytes*)>;
int rewrite_signatures(const std::string& in, const std::string& out_path,
                       const sign_function& sign_one, const seal_options& options,
                       const manifest_function& sign_manifest);

// Command line
struct args {
    int argc;
    char** argv;
    int i = 0;
    bool more() const { return i < argc; }
    const char* next() { return argv[i++]; }
};

bool wants_help(int argc, char** argv);
bool option_value(args& a, const char* option, const char** value);
int usage_error(const char* command, const char* usage);
// False (with a message) when an option that is taken once is given again.
bool once(const char* command, const char* option, bool given);
struct option_spec {
    const char* name;
    std::vector<std::string>* values;
    bool repeatable;
    bool required;
};
// extra(arg): 1 when it took the argument (and its value), 0 when not, -1 on an error.
bool in_out_args(args& a, const char* command, std::string* in, std::string* out,
                 std::initializer_list<option_spec> options,
                 const std::function<int(const char*)>& extra = nullptr);
bool key_file_args(int argc, char** argv, const char* command, std::vector<public_key>* keys,
                   std::string* path);

// Takes --manifest, --no-manifest and --security-counter N: 1 taken, 0 not
// one of them, -1 a bad value (with a message).
int seal_option(args& a, const char* arg, seal_options* options);

// The commands
int cmd_create(int argc, char** argv);
int cmd_sign(int argc, char** argv);
int cmd_attach(int argc, char** argv);
int cmd_digest(int argc, char** argv);
int cmd_pack(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_verify(int argc, char** argv);

} // namespace bmimage
