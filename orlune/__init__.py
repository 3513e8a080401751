"""Orlune desktop application (host package).

Subpackages:
  core       component base classes and payload encryption
  auth       token storage, plan labels, machine identity
  app        application context, configuration and in-memory log panel
  utils      package metadata helpers
  collector  local usage collector (HTTP) used for development and tests
"""
