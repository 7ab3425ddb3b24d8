"""Tools for the lab desk: diff pages and display helpers, local shell tools, SSH."""
