// What the terminal loop and its text upload (upload.cpp) share: the keys
// the upload looks for, the keys typed during an upload, and the drain
// after it.
#pragma once

constexpr int kKeyCtrlC = 3;
constexpr int kKeyCtrlF = 6;
constexpr int kKeyEsc = 27;

// Polls of what the target answers to an upload that are dropped after it.
constexpr int kDrainAfterUpload = 20;

// The next key typed during an upload before the Esc or Ctrl-C that
// stopped it, in the order typed: for the terminal, as if typed now. false
// when none is held.
bool take_held_key(int* code);
