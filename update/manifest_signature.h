#pragma once

#include <string>

// Whether the update run may act on a manifest. A launcher built without a manifest key trusts what
// HTTPS delivers and says true. One built with one or more keys says true only when the text's last
// line is "#signature " and the base64 of a 64-byte ECDSA P-256 signature (r then s) by one of those
// keys over the SHA-256 of every byte before that line. Being a comment, the line changes nothing for
// the parser.
bool ManifestIsAuthentic(const std::string& text);
