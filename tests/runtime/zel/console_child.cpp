// Writes interleaved narrow and wide lines, flushed and not, for the console test to compare byte
// for byte. It takes the locale from the environment as a real host would.
#include <zel/console.h>
#include <zel/xstd.h>

#include <clocale>
#include <iostream>

int main() {
    std::setlocale(LC_ALL, "");
    std::wcout << L"wide first" << std::endl;
    std::cout << "narrow, flushed" << std::endl;
    std::wcout << L"Grüße 日本 \U0001F600\n";
    std::cout << "narrow, not flushed\n";
    zel::console::install();
    std::wcout << L"lone " << static_cast<wchar_t>(0xDC80) << L" and " << 42 << L" " << 0.75
               << L"\n";
    std::cout << "narrow UTF-8 Gr\xC3\xBC\xC3\x9F"
                 "e\n";
    std::wcout << zel::xstd::toWide(u"pair \xD83D\xDE00 lone \xD800 end") << std::endl;
    std::wcout << L'c' << "har\n";
    std::cout << "last, not flushed\n";
    return 0;
}
