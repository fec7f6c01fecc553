// zel::xstd: identifiers, owning iterator handles, attributes, search paths, directory listings,
// counted handles and the string conversions between UTF-16, UTF-8 and the console's wide text.
#pragma once

#include <zel/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel::xstd {

// A 128-bit identifier laid out as one 32-bit, two 16-bit and eight 8-bit parts. Its text form is
// 8-4-4-4-12 hexadecimal digits whose groups map in reading order onto the parts.
class ZEL_API uuid {
public:
    constexpr uuid() = default;
    constexpr uuid(std::uint32_t d1, std::uint16_t d2, std::uint16_t d3, std::uint8_t b0,
                   std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4,
                   std::uint8_t b5, std::uint8_t b6, std::uint8_t b7)
        : data1(d1), data2(d2), data3(d3), data4{b0, b1, b2, b3, b4, b5, b6, b7} {}

    constexpr bool operator==(const uuid&) const = default;

    // Parses the 8-4-4-4-12 form, either case; nothing else (no braces, no blanks) is accepted.
    static std::optional<uuid> parse(std::string_view text);
    // The 8-4-4-4-12 form in upper case.
    std::string toString() const;
    constexpr bool isNull() const { return *this == uuid{}; }

    std::uint32_t data1 = 0;
    std::uint16_t data2 = 0;
    std::uint16_t data3 = 0;
    std::uint8_t data4[8] = {};
};

// The implementation object behind an iterator handle.
template <class T> class iteratorImpl {
public:
    virtual ~iteratorImpl() = default;
    virtual bool isValid() const = 0;
    virtual T getCurrent() const = 0;
    virtual void advance() = 0;
};

// Owning, move-only handle on an iterator implementation. Moving it on empties the source;
// destroying a non-empty handle deletes the implementation. An empty handle is never valid.
template <class T> class iterator {
public:
    iterator() = default;
    // Takes ownership of impl (may be null).
    explicit iterator(iteratorImpl<T>* impl) : impl_(impl) {}
    iterator(iterator&&) noexcept = default;
    iterator& operator=(iterator&&) noexcept = default;
    iterator(const iterator&) = delete;
    iterator& operator=(const iterator&) = delete;
    ~iterator() = default;

    bool isValid() const { return impl_ && impl_->isValid(); }
    // Only while isValid().
    T getCurrent() const { return impl_->getCurrent(); }
    void advance() {
        if (impl_)
            impl_->advance();
    }
    bool isEmpty() const { return !impl_; }

private:
    std::unique_ptr<iteratorImpl<T>> impl_;
};

// An iterator implementation over a snapshot of values.
template <class T> class vectorIterator : public iteratorImpl<T> {
public:
    explicit vectorIterator(std::vector<T> items) : items_(std::move(items)) {}
    bool isValid() const override { return pos_ < items_.size(); }
    T getCurrent() const override { return items_[pos_]; }
    void advance() override {
        if (pos_ < items_.size())
            ++pos_;
    }

private:
    std::vector<T> items_;
    std::size_t pos_ = 0;
};

template <class T> iterator<T> makeIterator(std::vector<T> items) {
    return iterator<T>(new vectorIterator<T>(std::move(items)));
}

// Base of every attribute that nodes, readers and widgets carry; found again by a run-time type
// test.
class ZEL_API attr {
public:
    virtual ~attr();
};

// An ordered list of folders; the first is the current directory.
class ZEL_API searchPath {
public:
    searchPath() = default;
    explicit searchPath(std::vector<wstring> folders);
    searchPath(const searchPath&) = default;
    searchPath& operator=(const searchPath&) = default;
    ~searchPath();

    // The first folder, or an empty string when the path is empty.
    wstring getCWD() const;
    void addFolder(const wstring& folder);
    const std::vector<wstring>& getFolders() const { return folders_; }

private:
    std::vector<wstring> folders_;
};

// The names of the regular files of one folder, read when the listing is made and sorted by UTF-16
// code units. A folder that does not exist or cannot be read lists nothing.
class ZEL_API directory {
public:
    explicit directory(const wstring& folder);
    directory(const directory&) = delete;
    directory& operator=(const directory&) = delete;
    ~directory();

    const wstring& getName() const { return folder_; }
    iterator<wstring> getFileIterator() const;
    const std::vector<wstring>& getFiles() const { return files_; }

private:
    wstring folder_;
    std::vector<wstring> files_;
};

// Counted handle on an object with acquire(int)/release(int): one reference while it holds a
// pointer. Assignment acquires the new object before it releases the old one, which may own the new
// one.
template <class T> class counted {
public:
    counted() = default;
    explicit counted(T* p) : p_(p) {
        if (p_)
            p_->acquire(1);
    }
    counted(const counted& o) : counted(o.p_) {}
    counted& operator=(const counted& o) { return *this = o.p_; }
    counted& operator=(T* p) {
        if (p)
            p->acquire(1);
        T* old = std::exchange(p_, p);
        if (old)
            old->release(1);
        return *this;
    }
    ~counted() { reset(); }

    void reset() { *this = nullptr; }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// UTF-8 bytes (such as an OS file name) to UTF-16. Bytes that are not valid UTF-8 map to lone
// surrogates U+DC80..U+DCFF, so that toUtf8 gives back the same bytes.
ZEL_API wstring fromUtf8(std::string_view bytes);
// UTF-16 to UTF-8; a lone surrogate U+DC80..U+DCFF gives back its byte, any other lone surrogate
// U+FFFD.
ZEL_API std::string toUtf8(const wstring& text);
// UTF-16 to UTF-8 for display (JSON, window titles): pairs joined, every lone surrogate U+FFFD.
ZEL_API std::string toDisplayUtf8(const wstring& text);
// UTF-16 to the console's wide text: pairs joined, lone surrogates as U+FFFD.
ZEL_API std::wstring toWide(const wstring& text);
// ASCII or UTF-8 literal text to UTF-16, for convenience in tests and hosts.
inline wstring widen(std::string_view utf8) {
    return fromUtf8(utf8);
}

} // namespace zel::xstd
