#include "arithmeticcodec.h"

// The two precisions the codecs use, compiled once here so that a template
// error shows up in this module.
template class ArithmeticCoder<unsigned, unsigned, 16>;
template class ArithmeticDecoder<unsigned, unsigned, 16>;
template class ArithmeticCoder<unsigned, unsigned long long, 18>;
template class ArithmeticDecoder<unsigned, unsigned long long, 18>;
