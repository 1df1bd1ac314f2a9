# The one place the version is written: the build reads it for the wheel's
# metadata, and the package reports it as `pyvorl.__version__`.
__version__ = "0.1.0"
