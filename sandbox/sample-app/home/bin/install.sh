#!/bin/sh
# Install script of the sample application: runs once the tarball is unpacked.
echo "sample install script ran"
