// The decoder behind /dev/jpeg's registers. It reads what a user programmed into the register window
// (quantisers, Huffman tables, colour format, sampling, MCU counts, scale, output addresses and strides,
// the stream window and the data to read), decodes the entropy-coded data with libjpeg-turbo and writes
// the picture where the registers say, as the block does: whole MCUs, luma rows at the luma stride, then
// Cr/Cb pairs at the chroma stride, the chroma at the picture's own sampling, or at half width and half
// height when register 0x44 says 4:2:0. Register contents the block cannot take are refused before
// anything is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace varnelle::drivers::jpeg {

// A run of stream bytes the block reads.
struct Span {
    const uint8_t* data;
    size_t size;
};

// The data a feed points at (registers 0x28 and 0x2C, inside the window of 0x20 and 0x24, wrapping at
// its end), in RAM: one span, or two when it wraps. False when the data lies outside the window or RAM.
bool FeedSpans(const uint32_t* regs, std::vector<Span>* spans);

struct Outcome {
    bool decoded = false;   // the picture is written
    uint32_t lumaSum = 0;   // sum of the luma samples written
};

// Decodes the entropy-coded data of one picture (everything after its scan header) as the registers
// describe it. `regs` holds one word per 4 bytes of the window.
Outcome DecodePicture(const uint32_t* regs, size_t words, const std::vector<Span>& data);

}  // namespace varnelle::drivers::jpeg
