// Image signature verification: RSA PKCS#1 v1.5 over the SHA-256 digest of an
// image's data bytes, checked against the system keys, with the relaxations
// of low security mode and developer images.
#pragma once
#include <cstddef>
#include <cstdint>

// Accepts (1) or rejects (0) a whole image in memory (size bytes, its CRC
// already checked), printing its verdict. Nothing outside the size bytes is read.
int verify_image_signature(const uint8_t* image, size_t size);
// The same with the SHA-256 digest of the signed data (offset H to the end)
// already computed by the caller, for example while the image was read and its
// CRC computed; null computes it here.
int verify_image_signature_digest(const uint8_t* image, size_t size, const uint8_t* digest32);
// The key decision of verify_image_signature for a SHA-256 digest and a
// signature the caller found (a manifest's, for the strict image rules): the
// production key, then the development key under the relaxations, then the
// operator's word, with the same messages and verdict. lowsec is the caller's
// answer of lowsec_is_enabled, asked first as verify_image_signature does.
// *production (when not null) tells whether the production key accepted it.
int signature_decision(const uint8_t* digest32, const uint8_t* signature, uint16_t signature_len,
                       int lowsec, int* production);
// 1 when the running root filesystem is signed with the development key or has
// no image header. Cached once settled.
int developer_images_running();
// Forgets the cached answer (tests).
void developer_images_reset();
// 1 when an unsigned image is accepted (developer images and low security
// mode, and the operator says yes).
int handle_unsigned_image();

// SHA-256 of length bytes. 0, -6001 for a null pointer, or the digest's error.
int32_t IMGSIGN_computeSHA256(const uint8_t* data, uint32_t length, uint8_t* digest,
                              uint32_t* digest_length);
// 0 when signature is a good PKCS#1 v1.5 signature of digest under the PEM or
// DER public key in key_text; a toolkit status or -7711 otherwise.
int32_t IMGSIGN_verifySignature(const uint8_t* digest, uint32_t digest_length,
                                const uint8_t* signature, uint32_t signature_length,
                                const uint8_t* key_text, uint32_t key_length);
