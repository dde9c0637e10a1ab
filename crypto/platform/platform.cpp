// Placeholder until the platform layer lands.
