// What the options dialog does, apart from its window: the texts of its two boxes, loading them
// from the settings key, the Defaults and Save buttons, and the form's three text operations.
// The window (options_view.cpp) only copies the boxes in and out. User-interface thread only.
#pragma once

#include <string>
#include <string_view>

namespace pictoss {

// The characters of InputString in reverse order; a character made of two UTF-16 units (a
// surrogate pair) stays whole.
std::u16string ReverseString(std::u16string_view InputString);

// sLine with the characters of sChars cut away from its left: unchanged unless sChars occurs
// in it as a whole; otherwise, for each character of sChars in turn, everything up to and
// including its first occurrence in what is left is cut away.
std::u16string DelFromLeft(std::u16string_view sChars, std::u16string_view sLine);

// The same from the right: DelFromLeft on both texts reversed, reversed back.
std::u16string DelFromRight(std::u16string_view sChars, std::u16string_view sLine);

class OptionsForm {
 public:
  std::u16string time;      // the delay box
  std::u16string filename;  // the file-name box, without ".jpg"

  // Fills both boxes from the settings key ("Error" for what cannot be read).
  void Load();

  // Puts the defaults into the boxes; writes nothing.
  void DefaultsClick();

  // Stores the delay as typed and the name followed by ".jpg". True when both were stored and
  // the dialog may close; otherwise a message box has said why (a name that is not a plain file
  // name, which stores nothing, or a failed write) and the boxes keep their texts.
  bool SaveClick();
};

}  // namespace pictoss
