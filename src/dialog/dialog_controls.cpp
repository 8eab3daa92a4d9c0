#include "dialog/dialog_controls.h"

#include "base/text.h"

namespace qz {

std::string DialogControls::GetText(int id, std::size_t max_chars) const {
  return TruncateUtf16Units(Text(id), max_chars);
}

}  // namespace qz
