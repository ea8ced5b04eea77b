// A test addon that runs another module's initialiser directly, the way a
// runtime without Node's own load lock would: the call does not wait for a
// load that is under way on another thread. register(path) opens the module
// at `path`, calls its napi_register_module_v1 with this environment and a
// fresh exports object, and returns what that returns (or throws what it
// threw).
#include <node_api.h>

#include <dlfcn.h>

#include <string>

namespace {

napi_value Register(napi_env env, napi_callback_info info) {
    size_t argc = 1;
    napi_value arg;
    if (napi_get_cb_info(env, info, &argc, &arg, nullptr, nullptr) != napi_ok || argc < 1) {
        napi_throw_type_error(env, nullptr, "register: a path is required");
        return nullptr;
    }
    size_t length = 0;
    if (napi_get_value_string_utf8(env, arg, nullptr, 0, &length) != napi_ok) {
        napi_throw_type_error(env, nullptr, "register: the path must be a string");
        return nullptr;
    }
    std::string path(length, '\0');
    napi_get_value_string_utf8(env, arg, path.data(), length + 1, &length);

    // Never closed: the module may not be unloaded under its own threads.
    void* module = dlopen(path.c_str(), RTLD_LAZY);
    if (module == nullptr) {
        napi_throw_error(env, nullptr, dlerror());
        return nullptr;
    }
    using Init = napi_value (*)(napi_env, napi_value);
    auto init = reinterpret_cast<Init>(dlsym(module, "napi_register_module_v1"));
    if (init == nullptr) {
        napi_throw_error(env, nullptr, "register: no napi_register_module_v1");
        return nullptr;
    }
    napi_value exports;
    if (napi_create_object(env, &exports) != napi_ok) return nullptr;
    return init(env, exports);
}

} // namespace

extern "C" {

NAPI_MODULE_EXPORT int32_t node_api_module_get_api_version_v1(void) { return NAPI_VERSION; }

NAPI_MODULE_EXPORT napi_value napi_register_module_v1(napi_env env, napi_value exports) {
    napi_value fn;
    if (napi_create_function(env, "register", NAPI_AUTO_LENGTH, Register, nullptr, &fn) != napi_ok ||
        napi_set_named_property(env, exports, "register", fn) != napi_ok) {
        return nullptr;
    }
    return exports;
}

} // extern "C"
