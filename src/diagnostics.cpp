#include "diagnostics.h"

void printTime(std::ostream& os, const std::string& label, long start, long stop) {
    os << label;
    if (start == -1 || stop == -1) {
        os << "-";
    } else {
        const std::int32_t elapsed = static_cast<std::int32_t>(static_cast<std::uint32_t>(stop) -
                                                               static_cast<std::uint32_t>(start));
        os << static_cast<double>(elapsed) / 1000 << "s";
    }
    os << std::endl;
}

namespace {

void beginRecord(std::ostream& os, unsigned size) {
    os << "[Block] \n" << "Block size = " << size << "\n";
}

// Closes the body's line and leaves the blank separator line(s).
void endRecord(std::ostream& os) { os << "\n\n"; }

}  // namespace

unsigned mtfHistPassValue(char c) { return static_cast<unsigned char>(c); }

void printInputHistToFile(std::ostream& os, const char* data, unsigned size) {
    beginRecord(os, size);
    os << "Data histogram:\n";
    histogram(os, data, size);
    endRecord(os);
}

void printBWTDataToFile(std::ostream& os, const char* data, unsigned size, unsigned first) {
    beginRecord(os, size);
    os << "First suffix position: " << first << "\n" << "Data after BWT:\n";
    os.write(data, static_cast<std::streamsize>(size));
    endRecord(os);
}

void printMTFDataToFile(std::ostream& os, const char* data, unsigned size) {
    beginRecord(os, size);
    os << "Data after MTF:\n";
    for (unsigned i = 0; i < size; ++i) {
        if (i != 0) os << ' ';
        os << static_cast<unsigned>(static_cast<unsigned char>(data[i]));
    }
    endRecord(os);
}

void printMTFHistToFile(std::ostream& os, const char* data, unsigned size) {
    beginRecord(os, size);
    os << "Data MTF histogram:\n";
    histogram(os, data, size, mtfHistPassValue);
    endRecord(os);
}

void printDCHistToFile(std::ostream& os, const unsigned* values, unsigned count) {
    beginRecord(os, count);
    os << "Data DC histogram:\n";
    histogram(os, values, count);
    endRecord(os);
}

void printDCDataToFile(std::ostream& os, const unsigned* values, unsigned count) {
    beginRecord(os, count);
    os << "Data after DC:\n";
    for (unsigned i = 0; i < count; ++i) {
        if (i != 0) os << ' ';
        os << values[i];
    }
    endRecord(os);
}
