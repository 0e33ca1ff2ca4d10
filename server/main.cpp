// placeholder until the command server lands
int main() { return 0; }
