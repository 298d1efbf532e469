"""Batches of a compiled function: which row a failing batch names, the
parameters' values it reads once while other threads run, and stopping a
long batch with Ctrl-C."""

import math
import signal
import sys
import threading
import types

import numpy as np
import pytest

import zarnik as zk


@pytest.mark.parametrize("call", ["batch", "batch_jacobian"])
def test_a_failing_batch_names_the_first_row_that_fails(call):
    x, y = zk.Undefined(name="x"), zk.Undefined(name="y")
    quotient = x / y
    f = zk.function([x, y], quotient)
    # Row 1 divides by zero before row 2's input is found not finite; the text names the division's node.
    with pytest.raises(ValueError) as raised:
        getattr(f, call)(np.ones(3), np.array([2.0, 0.0, math.nan]))
    assert str(raised.value) == f"symbolic value lanes must be finite (row 1): Divide gave inf at node #{quotient.id}"
    # sin passes a NaN on without a check of its own: the input's check names the row.
    g = zk.function(x, zk.sin(x))
    with pytest.raises(ValueError) as raised:
        getattr(g, call)(np.array([0.0, 1.0, math.nan, 1.0]))
    assert str(raised.value) == "symbolic value lanes must be finite (row 2)"


@pytest.mark.parametrize("call", ["batch", "batch_jacobian", "batch_hessian", "batch_value_and_grad"])
def test_ctrl_c_stops_a_batch_between_blocks_of_rows(call):
    # Ctrl-C is sent again and again from the moment the batch is called; the handler raises only when
    # the batch's own check runs it, inside the call from this frame. A batch that checked only once
    # its rows were done would run them all, its handler calls would come from elsewhere, and it would
    # return. Nothing here depends on how long the rows take.
    x = zk.Undefined(name="x")
    y = x
    for _ in range(60):
        y = zk.sin(y) * 0.9 + x
    run = getattr(zk.function(x, y), call)
    rows = np.linspace(0.0, 1.0, 2_000_000)
    run(rows[:10])
    here = sys._getframe()
    main = threading.get_ident()
    inside = threading.Event()
    returned = threading.Event()
    heard = []

    def profile(frame, event, arg):
        if frame is here and getattr(arg, "__name__", None) == call:
            if event == "c_call":
                inside.set()
            elif event in ("c_return", "c_exception"):
                inside.clear()
                returned.set()

    def handler(signum, frame):
        if inside.is_set() and frame is here:
            heard.append(signum)
            raise KeyboardInterrupt

    def interrupt():
        inside.wait()
        while not returned.is_set():
            signal.pthread_kill(main, signal.SIGINT)
            returned.wait(0.005)

    previous = signal.signal(signal.SIGINT, handler)
    interrupter = threading.Thread(target=interrupt)
    interrupter.start()
    sys.setprofile(profile)
    try:
        with pytest.raises(KeyboardInterrupt):
            run(rows)
    finally:
        sys.setprofile(None)
        returned.set()
        interrupter.join()
        signal.signal(signal.SIGINT, previous)
    assert heard == [signal.SIGINT]


def test_a_batch_reads_the_parameters_once_while_another_thread_sets_them():
    x, p = zk.Undefined(name="x"), zk.Parameter(1.0, name="p")
    f = zk.function([x], [x * p, p])
    stop = threading.Event()

    def keep_setting():
        value = 1.0
        while not stop.is_set():
            value = 3.0 - value  # 2, 1, 2, ...
            p.set_value(value)

    setter = threading.Thread(target=keep_setting)
    setter.start()
    try:
        xs = np.linspace(1.0, 2.0, 1_000_000)
        for _ in range(3):
            products, ps = f.batch(xs)
            # One value of p for every row, and the one that x * p used.
            assert np.unique(ps).size == 1 and np.array_equal(products, xs * ps[0])
            gradients = f.batch_jacobian(xs)
            assert np.unique(gradients[:, 0, 0]).size == 1
    finally:
        stop.set()
        setter.join()


def test_a_batch_of_numpy_arrays_works_whatever_sys_modules_holds_for_dask(monkeypatch):
    # None in sys.modules is how an import is blocked; a module under import
    # has no Array yet. Neither is a Dask array that a batch must hand on.
    x = zk.Undefined(name="x")
    f = zk.function(x, x * x)
    for placeholder in (None, types.ModuleType("dask.array")):
        monkeypatch.setitem(sys.modules, "dask.array", placeholder)
        assert f.batch(np.arange(3.0)).tolist() == [0.0, 1.0, 4.0]
        assert f.batch_jacobian(np.arange(2.0)).tolist() == [[[0.0]], [[2.0]]]
