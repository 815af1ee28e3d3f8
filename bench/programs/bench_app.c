/* The application of the launch benchmark: exits at once, so that only the start is measured. */
int main(void) {
    return 0;
}
