"""Packaging and inspection of installers (tools/package, tools/inspect).

layout: payload names, the installer's verdict on a layout, refusals.
rsrc: the resource section, written and read back.
pe: the executable's headers.
version: the version record.
signing: Authenticode through osslsigncode.
embedded: the programs the installer carries, signed and read back.
limits: how large an installer may be, and why.
loader: what Windows' loader demands of an image before it starts it.
setup_checks: warnings about a setup Windows may not start.
assemble: linking and writing an installer; cli: tools/package's options.
inspection: tools/inspect.
"""
