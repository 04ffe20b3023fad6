// xkt-setprop NAME VALUE: sets a system property of the box under $XKT_ROOT.
#include <cstdio>

#include "property_store.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: xkt-setprop NAME VALUE\n");
        return 2;
    }
    xkt::host::PropertyError error = xkt::host::setProperty(argv[1], argv[2]);
    if (error != xkt::host::PropertyError::none) {
        std::fprintf(stderr, "xkt-setprop: cannot set %s: %s\n", argv[1],
                     xkt::host::describe(error));
        return 1;
    }
    return 0;
}
