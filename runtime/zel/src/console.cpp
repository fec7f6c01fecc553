// std::cout and std::wcout share glibc's one stdout, whose first write fixes it narrow or wide and
// then mangles or drops the other kind. So std::wcout gets a buffer of its own kind that holds
// nothing: every wide write is encoded to UTF-8 at once and handed to std::cout's buffer, which
// then carries both streams in the order written, whatever the locale.
#include <zel/console.h>

#include "utf8.h"

#include <iostream>
#include <streambuf>
#include <string>

namespace zel::console {

namespace {

class utf8Forwarder : public std::wstreambuf {
protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof()))
            return traits_type::not_eof(c);
        const wchar_t ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

    std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
        std::streambuf* target = std::cout.rdbuf();
        if (!target || n <= 0)
            return 0;
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(n));
        for (std::streamsize i = 0; i < n; ++i)
            append(bytes, s[i]);
        const auto size = static_cast<std::streamsize>(bytes.size());
        return target->sputn(bytes.data(), size) == size ? n : 0;
    }

    int sync() override {
        std::streambuf* target = std::cout.rdbuf();
        return target ? target->pubsync() : 0;
    }

private:
    static void append(std::string& out, wchar_t ch) {
        auto cp = static_cast<char32_t>(ch);
        // A surrogate standing alone in a wide character cannot be encoded; nor can a value past
        // U+10FFFF.
        if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF)
            cp = 0xFFFD;
        xstd::appendUtf8(out, cp);
    }
};

// Defined before the installer below, so that it is destroyed after the installer has put the old
// buffer back.
utf8Forwarder forwarder;
std::wstreambuf* previous = nullptr;

// Installs at load and restores at unload: a host that writes to std::wcout after the library is
// gone must not reach a buffer that no longer exists.
struct loadHook {
    loadHook() { install(); }
    ~loadHook() { uninstall(); }
    loadHook(const loadHook&) = delete;
    loadHook& operator=(const loadHook&) = delete;
};
const loadHook hook;

} // namespace

void install() {
    if (std::wcout.rdbuf() == &forwarder)
        return;
    previous = std::wcout.rdbuf(&forwarder);
}

void uninstall() {
    // Someone else replaced the buffer since: theirs stays.
    if (std::wcout.rdbuf() != &forwarder)
        return;
    std::wcout.rdbuf(previous);
    previous = nullptr;
}

} // namespace zel::console
