#pragma once

// Adds the route to the metadata network through the saved gateway.
// 1 when the route command was run, 0 when there is no usable gateway.
int enableLocalNetwork();
