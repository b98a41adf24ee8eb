// Address access lists (comma-separated IPv4 addresses and ranges that may use a privileged
// command) and the accept filter.
#pragma once

#include "base/string.h"

// 1 for the characters a list is made of (digits, ".", "-", ","), else 0.
int islistsetchar(char c);

// Takes the first item off list. from receives its first address (host byte
// order), 0 when the list is exhausted or the address is invalid; to receives
// the second address of a range, else 0. An invalid address sets err.
void getitem(String& list, unsigned& from, unsigned& to, String& err);

// 1 when ip (network byte order) is named by list, else 0. err receives a
// diagnostic or stays empty; the result never depends on it.
int IPAllowed(unsigned ip, const String& list, String& err);
// The same for a dotted address; an invalid one is refused with err untouched.
int IPAllowed(const char* ip, const String& list, String& err);

// Whether list reads as a whole: only list characters and blanks, every
// address valid, nothing after an item that ends the list. false with err
// naming the first problem, in the texts of getitem and IPAllowed.
bool CheckAddressList(const String& list, String& err);

// True when the accept filter text ("\r\n" + entries each followed by "\r\n")
// admits the dotted address: an entry equal to it, or a network entry ending
// in "." that it begins with.
bool FilterAdmits(const String& filterIPs, const char* address);
// Whether an accept-filter entry can admit any peer: a dotted address written
// as the agent writes peers' addresses, or one to three of its first parts
// each followed by ".".
bool IsFilterEntry(const String& entry);
