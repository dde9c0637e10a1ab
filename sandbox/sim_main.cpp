// Placeholder until the switch-sim launcher lands.
int main() { return 0; }
