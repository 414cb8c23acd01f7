// saga/elements.h (private to saga/): one catalogue element read into its
// entry, the same way whether the element comes from a whole tree or from a
// file read as a stream.
#pragma once

#include <cstddef>

#include "saga/saga.h"

namespace brivasto::elements {

SagaSubject ReadSubject(const XmlNode& element, std::size_t position);
// A teacher or a location.
SagaNamedItem ReadNamedItem(const XmlNode& element, std::size_t position);
SagaGroup ReadGroup(const XmlNode& element, std::size_t position);

}  // namespace brivasto::elements
