// TEMPORARY until the main flow exists.
int main() { return 0; }
