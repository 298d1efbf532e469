"""Mistakes mypy must catch: each line marked `# error: <code>` must be
reported with that code, and nothing else."""

import zarnik as zk

p = zk.Parameter(1.0, name="p")
count: int = p.eval()  # error: assignment
p.frobnicate()  # error: attr-defined
first = p.grad[0]  # error: index
zk.Constant("1.0")  # error: arg-type
zk.Parameter(1.0, name=3)  # error: call-overload
zk.Undefined(2)  # error: call-arg
p + "a"  # error: operator
p.set_value(None)  # error: call-overload
label: str = zk.compile(p).backward()  # error: assignment
zk.function(p, p * p).jacobian(p)  # error: arg-type
total: float = zk.function(p, [p, p])(1.0)[0]  # error: assignment
zk.to_dot(p, name=3)  # error: arg-type
zk.draw(zk.compile(p), "tape.svg")  # error: arg-type
zk.Undefined(hint="1")  # error: arg-type
one: zk.Expression = zk.grad(p * p, [p])  # error: assignment
zk.grad(p * p, 2.0)  # error: call-overload
zk.function(p, p * p).hessian(1.0, wrt=1.0)  # error: arg-type
zk.save(1.0, "graph.zg")  # error: arg-type
graph: zk.Expression = zk.load("graph.zg")  # error: assignment
zk.function(p, p * p).generate("generated", "model", derivatives=("hessian",))  # error: arg-type
