// MD5 for what the host program reports about data: digests of plaintext
// in the transcript and of the bytes a TCP endpoint sent and received, to be
// compared with md5sum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/md5.h"

namespace vchost {

class Md5 {
  public:
    Md5();
    void update(const uint8_t* data, std::size_t size);
    // The digest in lower-case hex, as md5sum prints it; ends the hashing.
    std::string hex();

  private:
    vc::Md5Context context_;
};

std::string md5Hex(const uint8_t* data, std::size_t size);

}  // namespace vchost
