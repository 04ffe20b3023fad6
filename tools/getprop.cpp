// xkt-getprop [NAME [DEFAULT]]: prints one system property of the box under
// $XKT_ROOT, or every property as "[name]: [value]" lines.
#include <cstdio>

#include "property_store.h"
#include "xkt_osal.h"

int main(int argc, char** argv) {
    if (argc > 3) {
        std::fprintf(stderr, "usage: xkt-getprop [NAME [DEFAULT]]\n");
        return 2;
    }
    if (argc == 1) {
        for (const auto& property : xkt::host::listProperties()) {
            std::printf("[%s]: [%s]\n", property.name.c_str(), property.value.c_str());
        }
        return 0;
    }
    char value[XKT_PROP_VALUE_MAX];
    if (XKT_property_get(argv[1], value, sizeof value) == 0) {
        std::printf("%s\n", value);
    } else {
        std::printf("%s\n", argc == 3 ? argv[2] : "");
    }
    return 0;
}
