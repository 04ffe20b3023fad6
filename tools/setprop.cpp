// xkt-setprop NAME VALUE: sets a system property of the box.

#include "property_store.h"
#include "tool_cli.h"

namespace {

constexpr xkt::tools::Tool kTool{
    "xkt-setprop",
    "usage: xkt-setprop NAME VALUE\n"
    "Sets the system property NAME of the box for every process under the root\n"
    "(names up to 63 characters, values up to 1023).\n"
    "Exit status: 0 set, 1 not set, 2 usage.\n"};

}  // namespace

int main(int argc, char** argv) {
    if (const int status = kTool.helpOnly(argc, argv); status != -1) return status;
    if (argc - optind != 2) return kTool.fail("needs a NAME and a VALUE");
    const char* name = argv[optind];
    const auto problem = xkt::host::setProperty(name, argv[optind + 1]);
    if (problem == xkt::host::PropertyError::unavailable) {
        return kTool.error("cannot set %s: cannot open the property store %s", name,
                           xkt::host::propertyStorePath().c_str());
    }
    if (problem != xkt::host::PropertyError::none) {
        return kTool.error("cannot set %s: %s", name, xkt::host::describe(problem));
    }
    return 0;
}
