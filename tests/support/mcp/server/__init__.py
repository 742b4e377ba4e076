"""Stand-in for `mcp.server`."""
