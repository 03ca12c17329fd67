"""The modules of tools/conformance: what a build offers the kit, and the
kit's zip file."""
