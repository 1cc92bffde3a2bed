"""Library of the addrsmith end-to-end harness (Wine + network namespaces)."""
