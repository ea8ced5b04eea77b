// A recording client for the end-to-end tests that can look like a volume
// meter: it opens one record stream with the options given, says "ready" on
// standard output once the stream runs, and ends when standard input closes.
//   velko-test-stream [--device NAME] [--rate HZ] [--name MEDIA_NAME]
//                     [--app-id ID] [--names HEX] [--peak] [--corked]
// --names sets the client's application.name and application.process.binary
// to the bytes given in hexadecimal, which need not be UTF-8.
#include <pulse/pulseaudio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

struct Options {
    std::string device;
    unsigned rate = 48000;
    std::string name = "test stream";
    std::string appId;
    std::string names;
    bool peak = false;
    bool corked = false;
};

Options g_options;
pa_mainloop* g_loop = nullptr;

void streamStateChanged(pa_stream* stream, void*) {
    auto state = pa_stream_get_state(stream);
    if (state == PA_STREAM_READY) {
        std::printf("ready\n");
        (void)std::fflush(stdout);
    } else if (!PA_STREAM_IS_GOOD(state)) {
        (void)std::fprintf(stderr, "stream failed: %s\n", pa_strerror(pa_context_errno(pa_stream_get_context(stream))));
        pa_mainloop_quit(g_loop, 1);
    }
}

void readable(pa_stream* stream, size_t, void*) {
    const void* data = nullptr;
    size_t size = 0;
    while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &size) == 0 && size > 0) {
        pa_stream_drop(stream);
    }
}

void contextStateChanged(pa_context* context, void*) {
    auto state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state)) {
        (void)std::fprintf(stderr, "connection failed: %s\n", pa_strerror(pa_context_errno(context)));
        pa_mainloop_quit(g_loop, 1);
        return;
    }
    if (state != PA_CONTEXT_READY) return;
    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, g_options.rate, 1};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, g_options.name.c_str());
    pa_stream* stream = pa_stream_new_with_proplist(context, g_options.name.c_str(), &spec, nullptr, properties);
    pa_proplist_free(properties);
    pa_stream_set_state_callback(stream, streamStateChanged, nullptr);
    pa_stream_set_read_callback(stream, readable, nullptr);
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(20000, &spec));
    unsigned flags = PA_STREAM_ADJUST_LATENCY;
    // What a volume control's meter asks for.
    if (g_options.peak) flags |= PA_STREAM_PEAK_DETECT | PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND;
    if (g_options.corked) flags |= PA_STREAM_START_CORKED;
    pa_stream_connect_record(stream, g_options.device.empty() ? nullptr : g_options.device.c_str(), &attr,
                             static_cast<pa_stream_flags_t>(flags));
}

void stdinReadable(pa_mainloop_api* api, pa_io_event*, int fd, pa_io_event_flags_t, void*) {
    char buffer[256];
    if (::read(fd, buffer, sizeof buffer) <= 0) api->quit(api, 0);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--device")
            g_options.device = value();
        else if (arg == "--rate")
            g_options.rate = static_cast<unsigned>(std::stoul(value()));
        else if (arg == "--name")
            g_options.name = value();
        else if (arg == "--app-id")
            g_options.appId = value();
        else if (arg == "--names") {
            std::string hex = value();
            for (std::size_t k = 0; k + 1 < hex.size(); k += 2) {
                g_options.names.push_back(static_cast<char>(std::stoi(hex.substr(k, 2), nullptr, 16)));
            }
        } else if (arg == "--peak")
            g_options.peak = true;
        else if (arg == "--corked")
            g_options.corked = true;
        else {
            (void)std::fprintf(stderr, "unknown option %s\n", arg.c_str());
            return 2;
        }
    }
    g_loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(g_loop);
    pa_proplist* properties = pa_proplist_new();
    if (!g_options.appId.empty()) pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, g_options.appId.c_str());
    if (!g_options.names.empty()) {
        // Stored as bytes, since the text form refuses what is not UTF-8,
        // but NUL-terminated like text: PipeWire reads them as C strings.
        for (const char* key : {PA_PROP_APPLICATION_NAME, PA_PROP_APPLICATION_PROCESS_BINARY}) {
            pa_proplist_set(properties, key, g_options.names.c_str(), g_options.names.size() + 1);
        }
    }
    // Without a name argument the context keeps the one in the properties.
    pa_context* context =
        pa_context_new_with_proplist(api, g_options.names.empty() ? "velko test stream" : nullptr, properties);
    pa_proplist_free(properties);
    pa_context_set_state_callback(context, contextStateChanged, nullptr);
    pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
    api->io_new(api, 0, PA_IO_EVENT_INPUT, stdinReadable, nullptr);
    int status = 0;
    pa_mainloop_run(g_loop, &status);
    return status;
}
