// The entry of the layer checks: a library's objects linked whole with only
// the libraries it names must leave no symbol undefined.
int main() { return 0; }
