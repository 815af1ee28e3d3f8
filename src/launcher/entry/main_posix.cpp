// PLACEHOLDER: replaced by the launch sequence work.
int main() { return 0; }
