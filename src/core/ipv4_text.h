// The check of dotted IPv4 text, shared by the metadata reader (values from
// the service) and the route pre-flight (the gateway in the saved file).
#pragma once

// 1 when the text is an IPv4 address in dotted-decimal form, else 0.
int checkIpAddr(const wchar_t* text);
