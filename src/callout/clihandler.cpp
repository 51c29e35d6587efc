// TODO(programs)
int main() { return 0; }
