// Opens a .node file the way a runtime does, without a runtime: binding is
// lazy, so the Node-API functions it leaves undefined are only looked up if
// called. Prints what node_api_module_get_api_version_v1 returns.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        (void)std::fprintf(stderr, "usage: %s MODULE.node\n", argv[0]);
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_LAZY | RTLD_LOCAL);
    if (module == nullptr) {
        (void)std::fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    using Version = std::int32_t (*)();
    auto version = reinterpret_cast<Version>(dlsym(module, "node_api_module_get_api_version_v1"));
    if (version == nullptr) {
        (void)std::fprintf(stderr, "no node_api_module_get_api_version_v1\n");
        return 1;
    }
    std::printf("%d\n", static_cast<int>(version()));
    return 0;
}
