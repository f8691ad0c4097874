#pragma once
// Texts that come from modules, images, servers or failures may hold any bytes. Before
// they go into a console table or an XML report they are made harmless here.
#include <string>

// Text from modules, servers and files as a table may show it: control
// characters (C0, DEL and C1) and bytes that are no UTF-8 come out escaped
// ("\x1b", "\u009b"), so that no cell can move the cursor, retitle the window
// or ring the bell. Printable text, UTF-8 included, stays as it is.
std::string _terminal_text(const std::string& text);

// For XML 1.0: bytes that are no UTF-8 become U+FFFD, and the characters XML forbids
// (controls other than tab, line feed and carriage return, U+FFFE, U+FFFF) "\x1b".
std::string _xml_text(const std::string& text);
