// The program each layer of the daemon is linked into, whole and alone with the layers it
// declares, so that a call into a layer above it fails to link. It is never run.
int main() { return 0; }
