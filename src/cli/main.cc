// kiln's entry point; the start-up sequence lives in cli/startup.cc.
int main() { return 0; }
