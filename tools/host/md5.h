// MD5 for what the host program reports about data: digests of plaintext
// in the transcript and of the bytes a TCP endpoint sent and received, to be
// compared with md5sum. The host's own, not the library's: it checks the
// library from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vchost {

class Md5 {
  public:
    Md5();
    void update(const uint8_t* data, std::size_t size);
    // The digest in lower-case hex, as md5sum prints it; ends the hashing.
    std::string hex();

  private:
    void compress(const uint8_t block[64]);

    uint32_t state_[4];
    uint64_t length_ = 0;
    uint8_t buffer_[64] = {};
};

std::string md5Hex(const uint8_t* data, std::size_t size);

}  // namespace vchost
