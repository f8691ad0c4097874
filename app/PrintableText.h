#pragma once
// Texts that come from modules, images, servers or failures may hold any bytes. Before
// they go into a console table or an XML report they are made harmless here.
#include <string>

// For a terminal: control characters (C0, DEL, C1) and bytes that are not UTF-8 become
// "\xNN" per byte, so that no escape sequence reaches the terminal; the rest is kept.
std::string _table_text(const std::string& text);

// For XML 1.0: bytes that are not UTF-8 become U+FFFD, and the characters XML forbids
// (controls other than tab, line feed and carriage return, U+FFFE, U+FFFF) "\xNN".
std::string _xml_text(const std::string& text);
