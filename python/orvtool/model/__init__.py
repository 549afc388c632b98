"""The model every stage speaks: the typed, frozen record model of an
animation (`records`), its runs and the limits of the file's fields (`runs`),
the one finding type (`findings`), what one load found (`load`), the
exception tree (`errors`), the arrays passed between stages (`arrays`) and the
budget and limits of one command (`limits`).

Imports: nothing of orvtool outside this package.
"""
