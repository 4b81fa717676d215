// Start-up's command line on arbitrary words (input: the words after "wirebox", each ended by a
// zero byte): sections split, each protocol's section parsed and checked, general options parsed.
// Its exit() after every listing, help and error returns here and what it held is released, so
// the leak check covers every path. Its texts go nowhere; the fuzzer keeps its own stderr.
#include <algorithm>
#include <csetjmp>
#include <vector>

#define main wirebox_main // start-up with its own tables; this main is never called
#include "wirebox.cpp"

static jmp_buf back;
static bool catching = false;

// Start-up's exits come back to the harness; any other, the fuzzer's own, ends the process.
extern "C" void exit(int status) noexcept
{
    catching ? longjmp(back, 1) : _Exit(status);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    [[maybe_unused]] static FILE *sink = stdout = stderr = fopen("/dev/null", "w");
    std::vector<char *> argv = {strdup("wirebox")}; // a block per word: ASan sees past its end
    for (size_t at = 0; at < size; at += strlen(argv.back()) + 1) {
        argv.push_back(strndup(reinterpret_cast<const char *>(data) + at, size - at));
    }
    const std::vector<char *> words = argv; // start-up reorders argv
    argv.push_back(nullptr);
    auto *conn = static_cast<connector *>(xcalloc(1, sizeof(connector)));
    conn->tty_fd = -1; // as connector_init leaves it, so the local side's destroy closes nothing
    catching = true;
    if (setjmp(back) == 0) {
        int general_argc = static_cast<int>(words.size());
        help_prescan(general_argc, argv.data());
        populate_connector(conn, &general_argc, argv.data());
        free(opt_parse(&general_argc, argv.data(), general_options));
    }
    catching = false;
    const bool raw = conn->client_create == plaintcp_client_create; // its record holds a banner
    free(raw ? static_cast<raw_banner *>(conn->remote_priv)->banner : nullptr);
    free(conn->remote_priv);
    conn->destroy != nullptr ? conn->destroy(conn) : free(conn);
    std::for_each(words.begin(), words.end(), free);
    return 0;
}
