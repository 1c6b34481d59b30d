/* A statically linked program, which hostrun must refuse. */
int main(void) { return 0; }
