# The project's version; CMake refuses to configure when it differs from the
# version in project().
__version__ = "1.2.0"
