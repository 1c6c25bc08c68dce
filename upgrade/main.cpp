// Placeholder entry until the upgrade driver lands.
int main() { return -1; }
