// System keys: the production and development public keys that image
// signatures are checked against. Each is built into the program and mirrored
// in a key file under /user, encrypted with AES-128-CBC under a key made from
// the unit serial.
#pragma once
#include <cstdint>

enum : uint32_t {
    SYSTEM_KEY_TEXT_MAX = 500,  // the text area of a key record; larger key files are refused
    SYSTEM_KEY_TEXT_LEN = 451,  // a built-in PEM text without its zero byte
    SYSTEM_KEY_COPY_LEN = 452,  // a built-in PEM text with its zero byte
    SYSTEM_KEY_SERIAL_LEN = 12, // unit serial bytes used as AES key material
};

#define PRODUCTION_KEY_PATH "/user/production_key.pub.pem"
#define DEVELOPMENT_KEY_PATH "/user/development_key.pub.pem"

// A loaded key: text length and PEM text.
struct system_key_record {
    uint16_t length;
    uint8_t text[SYSTEM_KEY_TEXT_MAX];
};

// The built-in public keys: 451 characters of PEM text and a zero byte each.
extern const char builtin_production_key[SYSTEM_KEY_COPY_LEN];
extern const char builtin_development_key[SYSTEM_KEY_COPY_LEN];

// Deletes every file under /user whose name ends in ".pem" (both key files;
// the next load creates them again). Returns how many were deleted.
int delete_system_key_files();
// Loads both system keys once, creating missing key files. 1 when both loaded.
int check_system_keys();
// Fills record from the key file at path (PRODUCTION_KEY_PATH or DEVELOPMENT_KEY_PATH),
// creating or rewriting the file from the built-in key as needed. 1 or 0.
int load_system_key(system_key_record* record, const char* path);
// Encrypts key_text and writes it to path. 1, or 0 when the file cannot be created.
int write_system_key_file(const uint8_t* key_text, uint32_t key_text_length, const char* path,
                          const uint8_t* aes_key, uint32_t aes_key_length);
// AES-128-CBC with a zero IV and zero padding. Buffers are released with free().
uint8_t* imgsign_encrypt(const uint8_t* aes_key, uint32_t aes_key_length, const uint8_t* data,
                         uint32_t data_length, uint32_t* out_length);
uint8_t* imgsign_decrypt(const uint8_t* aes_key, uint32_t aes_key_length, const uint8_t* data,
                         uint32_t data_length, uint32_t* out_length);
