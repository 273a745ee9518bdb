#include "distancecodec.h"

// Values below 8 have a bucket each, 8 to 511 four buckets per power of two,
// then every bucket is twice as wide as the one before.
const AACodecBaseForDC::Bucket AACodecBaseForDC::dtab[AACodecBaseForDC::tableSize] = {
    {0, 0}, {1, 0}, {2, 0}, {3, 0},
    {4, 0}, {5, 0}, {6, 0}, {7, 0},
    {8, 1}, {10, 1}, {12, 1}, {14, 1},
    {16, 2}, {20, 2}, {24, 2}, {28, 2},
    {32, 3}, {40, 3}, {48, 3}, {56, 3},
    {64, 4}, {80, 4}, {96, 4}, {112, 4},
    {128, 5}, {160, 5}, {192, 5}, {224, 5},
    {256, 6}, {320, 6}, {384, 6}, {448, 6},
    {512, 7}, {640, 8}, {896, 9}, {1408, 10},
    {2432, 11}, {4480, 12}, {8576, 13}, {16768, 14},
    {33152, 15}, {65920, 16}, {131456, 17}, {262528, 18},
    {524672, 19}, {1048960, 20}, {2097536, 21}, {4194688, 22},
    {8388992, 23}, {16777600, 24}, {33554816, 25}, {67109248, 26},
    {134218112, 27}, {268435840, 28}, {536871296, 29}, {1073742208, 30},
    {2147484032, 31},
};

unsigned AACodecBaseForDC::symbolsFor(unsigned blockBytes) {
    unsigned k = 1;
    while (k + 1 < tableSize && dtab[k + 1].base <= blockBytes) ++k;
    return k + 1;
}
