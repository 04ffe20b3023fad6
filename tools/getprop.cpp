// xkt-getprop [NAME [DEFAULT]]: prints one system property of the box, or
// every property as "[name]: [value]" lines.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "property_store.h"
#include "tool_cli.h"
#include "xkt_osal.h"

namespace {

constexpr xkt::tools::Tool kTool{
    "xkt-getprop",
    "usage: xkt-getprop [NAME [DEFAULT]]\n"
    "Prints the system property NAME of the box (DEFAULT, or an empty line,\n"
    "when it is not set), or every property as \"[name]: [value]\" lines.\n"
    "Exit status: 0 printed, 1 the property store cannot be opened, 2 usage.\n"};

// A missing property and a store that cannot be opened read the same
// through the property calls; the store's file tells them apart. The calls
// above have already created it when that was possible.
bool storeOpens() {
    const std::string path = xkt::host::propertyStorePath();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        kTool.error("cannot open the property store %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int status = kTool.helpOnly(argc, argv); status != -1) return status;
    const int words = argc - optind;
    if (words > 2) return kTool.fail("too many arguments");
    if (words == 0) {
        const auto properties = xkt::host::listProperties();
        if (!storeOpens()) return 1;
        for (const auto& property : properties) {
            std::printf("[%s]: [%s]\n", property.name.c_str(), property.value.c_str());
        }
        return 0;
    }
    char value[XKT_PROP_VALUE_MAX];
    if (XKT_property_get(argv[optind], value, sizeof value) != 0) {
        if (!storeOpens()) return 1;
        std::snprintf(value, sizeof value, "%s", words == 2 ? argv[optind + 1] : "");
    }
    std::printf("%s\n", value);
    return 0;
}
