// A program that uses nothing: linked with the whole of one layer's library
// and only the layers below it, it links only when no code of that layer
// calls into a layer above.
int main() { return 0; }
