// std::cout and std::wcout share glibc's one stdout, whose first write fixes it narrow or wide and
// then mangles or drops the other kind. So std::wcout gets a buffer of its own kind that holds
// nothing: every wide write is encoded to UTF-8 at once and handed to std::cout's buffer, which
// then carries both streams in the order written, whatever the locale.
#include <zel/console.h>

#include <zel/text/utf8.h>

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
            append(bytes, static_cast<char32_t>(s[i]));
        return send(target, bytes) ? n : 0;
    }

    int sync() override {
        std::streambuf* target = std::cout.rdbuf();
        if (!target)
            return 0;
        // A high surrogate still waiting for its partner is given up: a flush ends the text.
        std::string bytes;
        flushPending(bytes);
        if (!send(target, bytes))
            return -1;
        return target->pubsync();
    }

private:
    static bool isHigh(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
    static bool isLow(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

    static bool send(std::streambuf* target, const std::string& bytes) {
        const auto size = static_cast<std::streamsize>(bytes.size());
        return size == 0 || target->sputn(bytes.data(), size) == size;
    }

    void flushPending(std::string& out) {
        if (pendingHigh_) {
            text::appendUtf8(out, 0xFFFD);
            pendingHigh_ = 0;
        }
    }

    // Where wchar_t has 16 bits (Windows), a character past U+FFFF arrives as a high and a low
    // surrogate, possibly in two writes: the high one waits for its partner. A surrogate without
    // one, or a value past U+10FFFF, cannot be encoded and prints as U+FFFD.
    void append(std::string& out, char32_t cp) {
        if (isLow(cp) && pendingHigh_) {
            text::appendUtf8(out, 0x10000 + ((pendingHigh_ - 0xD800) << 10) + (cp - 0xDC00));
            pendingHigh_ = 0;
            return;
        }
        flushPending(out);
        if (isHigh(cp)) {
            pendingHigh_ = cp;
            return;
        }
        if (isLow(cp) || cp > 0x10FFFF)
            cp = 0xFFFD;
        text::appendUtf8(out, cp);
    }

    char32_t pendingHigh_ = 0;
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
