// System keys: the production and development keys used for image signatures.
#pragma once

// Loads both system keys once, creating missing key files. 1 when both loaded.
int check_system_keys();
