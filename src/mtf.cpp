#include "mtf.h"

std::string rle0SymbolText(unsigned symbol) {
    if (symbol < 2) return std::string("0") + static_cast<char>('a' + symbol);
    return std::to_string(symbol - 1);
}

void printRLE0Begin(std::ostream& os, unsigned dataSize) {
    os << "[Block]" << '\n' << "Block size = " << dataSize << '\n' << "Data after RLE0:" << '\n';
}

void printRLE0Symbol(std::ostream& os, unsigned symbol) { os << rle0SymbolText(symbol) << ' '; }

void printRLE0End(std::ostream& os, unsigned count) {
    os << '\n' << "Number of coded symbols: " << count << '\n' << '\n';
}

void printRLE0HistToFile(std::ostream& os, const unsigned* counts) {
    unsigned total = 0;
    for (unsigned s = 0; s < rle0NumSymbols; ++s) total += counts[s];
    os << "[Block] " << '\n' << "Block size = " << total << '\n' << "Data RLE0 histogram:" << '\n';
    unsigned before = 0;
    for (unsigned s = 0; s < rle0NumSymbols; ++s) {
        const unsigned c = counts[s];
        if (c == 0) continue;
        os << rle0SymbolText(s) << " - " << c << "     [" << before << ", " << total - before - c << "]" << '\n';
        before += c;
    }
    os << '\n' << '\n';
}
