// Helpers shared by the key readers and the key blob code of this directory.
#pragma once
#include <cstdint>

#include "crypto/asn1/keys.h"

void KEYS_stripLeadingZeros(const uint8_t** bytes, uint32_t* length);
// ERR_RSA_NOT_RSA_KEY unless the big-endian number is odd, above 1 and at most 512 bytes long.
MSTATUS KEYS_checkPrime(const uint8_t* bytes, uint32_t length);
// Reads SubjectPublicKeyInfo, RSAPublicKey or RSAPrivateKey DER into key.
MSTATUS KEYS_readRsaForms(const uint8_t* der, uint32_t length, KeyObject* key);
// The elliptic-curve forms; unsupported here (see keys.cpp).
MSTATUS KEYS_readEccForms(const uint8_t* der, uint32_t length, KeyObject* key, MSTATUS rsaStatus);
