// Placeholder until the emulated devices land.
