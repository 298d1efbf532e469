"""PyTorch, the independent implementation of reverse-mode AD that gradients
are compared with. The toolchain installs it (tools/packages.txt): under
tools/dev test a test that needs it fails when it cannot be imported, and is
skipped elsewhere. Its libraries are not built for the address sanitizer, so
such a test carries the marker `needs_torch`."""

import os

import pytest

needs_torch = pytest.mark.not_under_address_sanitizer(reason="PyTorch's libraries are not built for the sanitizer")


def import_torch():
    try:
        import torch
    except ImportError as error:
        if os.environ.get("ZARNIK_TEST_STAGE"):
            pytest.fail(f"PyTorch belongs to the toolchain (tools/packages.txt) but cannot be imported: {error}")
        pytest.skip("PyTorch is not installed")
    return torch


def gradients(torch, build, values, seed):
    """d(seed . build(*values))/d(value) for each value, by PyTorch: `build`
    maps tensors to a tensor, `values` are tuples of lanes."""
    leaves = [torch.tensor(value, dtype=torch.float64, requires_grad=True) for value in values]
    output = build(*leaves)
    found = torch.autograd.grad(output, leaves, grad_outputs=torch.tensor(seed, dtype=torch.float64), allow_unused=True)
    return [tuple([0.0] * len(value)) if grad is None else tuple(grad.tolist()) for value, grad in zip(values, found)]
