// The yardstick of tools/bench.sh: a C++ program that does nothing, built with
// the flags of the programs it is compared with.
int main() {}
