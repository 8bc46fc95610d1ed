// The cheapest possible program: what starting any process costs on this machine.
int main() { return 0; }
